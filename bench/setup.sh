#!/bin/sh
# Installs the Debian packages the benchmark run needs beside the build ones:
# the load generator, the reference web server, the profiler, the Python
# bindings of the fake Central peer, and the image tool that draws the test JPEG.
# Idempotent; run as root (or through sudo) on Debian 12.
set -eu

PACKAGES="
  wrk nginx-light
  linux-perf valgrind
  python3-zmq python3-protobuf
  imagemagick
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
