#!/bin/bash
# Runs the benchmarks against BUILD_DIR/bin/tavro and prints the table.
# Usage: bench/run.sh BUILD_DIR [--runs N] [--quick] [--only fanout,stalled,http,idle,idle_unreachable,sync,update,burst,hostile,fanout-tls]
set -eu

HERE=$(cd "$(dirname "$0")" && pwd)
BUILD_DIR=$(cd "$1" && pwd)
shift

# 1000 viewers and 2000 listening ports need more descriptors than the default.
ulimit -n 16384 2>/dev/null || true

/usr/bin/python3 "$HERE/run.py" --tavro "$BUILD_DIR/bin/tavro" --tools "$BUILD_DIR/bench-tools" \
    --proto "$HERE/../central/proto/svc.proto" --work "$BUILD_DIR/bench" "$@" &
runner=$!
# The runner stops what it started itself; this covers the runner.
trap 'kill $runner 2>/dev/null || true; wait $runner 2>/dev/null || true' EXIT
trap 'exit 130' INT TERM
wait $runner
