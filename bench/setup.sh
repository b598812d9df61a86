#!/bin/sh
# Installs the Debian packages the benchmark run needs beside the build ones:
# the load generator, the reference web server, the profiler, the Python
# bindings of the fake Central peer, and the image tool that draws the test JPEG.
# Idempotent; run as root (or through sudo) on Debian 12.
set -eu

exec "$(dirname "$0")/../scripts/install-packages.sh" \
  wrk nginx-light \
  linux-perf valgrind \
  python3-zmq python3-protobuf \
  imagemagick
