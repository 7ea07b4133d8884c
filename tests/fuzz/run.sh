#!/bin/bash
# Builds the fuzz targets (build/fuzz: clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for a bounded time, FUZZ_SECONDS (default 20), from
# the committed seeds plus what earlier runs in this tree found. An input that breaks a rule is
# kept as build/fuzz/TARGET-crash-*. Exits non-zero when any target fails.
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${FUZZ_SECONDS:-20}

CC=clang CXX=clang++ cmake -S . -B build/fuzz -DQUENLIX_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    >/dev/null
cmake --build build/fuzz -j"$(nproc)" >/dev/null

# The targets do little but file work on the simulated drive: keep it in memory where we can.
tmp=build/fuzz/tmp
if [ -d /dev/shm ] && [ -w /dev/shm ]; then tmp=/dev/shm; fi
mkdir -p "$tmp"
work=$(mktemp -d "$tmp/quenlix-fuzz-XXXXXX")
trap 'rm -rf "$work"' EXIT
if command -v llvm-symbolizer >/dev/null; then
    export ASAN_SYMBOLIZER_PATH=$(command -v llvm-symbolizer)
fi

passed=0
failed=0
for target in patch_apply patch_make command_line; do
    corpus=build/fuzz/corpus/$target
    mkdir -p "$corpus"
    cp tests/fuzz/corpus/$target/* "$corpus"/
    args=(-max_total_time="$seconds" -timeout=10 -print_final_stats=1
        -artifact_prefix="build/fuzz/$target-")
    if [ -f "tests/fuzz/$target.dict" ]; then args+=(-dict="tests/fuzz/$target.dict"); fi
    # Windows takes command lines of up to 32,767 characters.
    if [ "$target" = command_line ]; then args+=(-max_len=32767); fi
    log=build/fuzz/$target.log
    if TMPDIR=$work "build/fuzz/fuzz_$target" "${args[@]}" "$corpus" >"$log" 2>&1; then
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
        echo "PASS fuzz_$target: $runs executions in $seconds s, corpus $(ls "$corpus" | wc -l) inputs"
        passed=$((passed + 1))
    else
        echo "FAIL fuzz_$target (log $log):"
        grep -E 'broken rule|ERROR|SUMMARY|Test unit written' "$log" | sed 's/^/    /' || true
        failed=$((failed + 1))
    fi
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
