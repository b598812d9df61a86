#!/bin/sh
# Installs every Debian package that building, running and testing TAVRO needs.
# Idempotent; run as root (or through sudo) on Debian 12.
set -eu

PACKAGES="
  build-essential cmake pkg-config
  qtbase5-dev libqt5sql5-sqlite
  libzmq3-dev cppzmq-dev
  libprotobuf-dev protobuf-compiler
  openssl ca-certificates
  fonts-dejavu-core
"

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
