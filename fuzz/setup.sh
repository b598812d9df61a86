#!/bin/sh
# Installs clang and its libFuzzer runtime, which `make fuzz` needs beyond
# scripts/setup.sh. Idempotent; run as root (or through sudo) on Debian 12.
set -eu

PACKAGES="clang libclang-rt-14-dev"

missing=""
for p in $PACKAGES; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update
# shellcheck disable=SC2086
$SUDO apt-get install -y --no-install-recommends $missing
