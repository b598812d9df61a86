#!/bin/bash
# Runs each fuzz target for a bounded time: run.sh BUILD_DIR SECONDS TARGET...
# Seeds come from tests/fuzz/corpus/<target>/ (never written to); what the
# fuzzer adds goes to BUILD_DIR/corpus/<target>/, a failing input to
# BUILD_DIR/crashes/. Stops at the first target that fails.
set -euo pipefail
cd "$(dirname "$0")/.."

build=$1 seconds=$2
shift 2

for target in "$@"; do
    corpus=$build/corpus/$target
    crashes=$build/crashes
    log=$build/fuzz-$target.log
    mkdir -p "$corpus" "$crashes"
    echo "fuzz: $target for ${seconds}s"
    if ! "$build/bin/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
            -artifact_prefix="$crashes/$target-" "$corpus" "tests/fuzz/corpus/$target" >"$log" 2>&1; then
        grep -v '^[0-9T:.-]*Z ' "$log" | tail -n 60
        echo "fuzz: $target failed; the input is in $crashes/, the whole log in $log" >&2
        exit 1
    fi
    grep -E '^(Done|#[0-9]+.*DONE)' "$log" | tail -n 1 || true
done
