#!/bin/sh
# Installs every Debian package that building, running and testing TAVRO needs.
# Idempotent; run as root (or through sudo) on Debian 12.
set -eu

exec "$(dirname "$0")/install-packages.sh" \
  build-essential cmake pkg-config \
  qtbase5-dev libqt5sql5-sqlite \
  libzmq3-dev cppzmq-dev libsodium-dev \
  libprotobuf-dev protobuf-compiler \
  openssl libssl-dev ca-certificates \
  fonts-dejavu-core \
  nginx-light \
  prometheus
