#!/usr/bin/env bash
# Builds the fuzz targets (when needed) and runs each for SECONDS (default 30) over a copy of
# its seed corpus; the committed corpora are never written. Fails when any target finds a
# crash, a leak or undefined behaviour; the input that did it is kept in
# build/fuzz/artifacts/<target>/ and the fuzzer's log beside it.
#   bash fuzz/run-all.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
duration=${1:-30}
targets=(wav launch singleinstance updatefeed cli tooloutput)

# The fuzz build is its own tree: clang, libFuzzer and both sanitizers.
if [ ! -f build/fuzz/build.ninja ]; then
    CC=clang CXX=clang++ cmake --preset fuzz -DCORVALE_WERROR=ON >/dev/null
fi
cmake --build --preset fuzz

work=$(mktemp -d /tmp/corvale-fuzz.XXXXXX)
trap 'rm -rf "$work"' EXIT
failed=()
for target in "${targets[@]}"; do
    artifacts=build/fuzz/artifacts/$target
    mkdir -p "$artifacts"
    cp -r "fuzz/corpus/$target" "$work/$target"
    log=$artifacts/fuzz.log
    status=0
    # Leaks are checked by libFuzzer itself; UBSan's findings end the run like ASan's.
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        "build/fuzz/fuzz/fuzz_$target" -max_total_time="$duration" -timeout=25 \
        -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$artifacts/" \
        "$work/$target" >"$log" 2>&1 || status=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    if [ "$status" -ne 0 ]; then
        echo "fuzz_$target: FAILED (exit $status) after ${runs:-?} runs; log: $log"
        grep -E '^(==[0-9]+==ERROR|SUMMARY|.*runtime error|property failed)' "$log" | head -n 5 || true
        failed+=("$target")
    else
        echo "fuzz_$target: ${runs:-?} runs in ${duration} s, nothing found"
    fi
done
if [ ${#failed[@]} -ne 0 ]; then
    echo "Fuzzing found problems in: ${failed[*]}"
    exit 1
fi
