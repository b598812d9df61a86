#!/bin/sh
# Installs clang and its libFuzzer runtime, which `make fuzz` needs beyond
# scripts/setup.sh. Idempotent; run as root (or through sudo) on Debian 12.
set -eu

exec "$(dirname "$0")/../scripts/install-packages.sh" clang libclang-rt-14-dev
