#!/usr/bin/env bash
# Fuzzes for SECONDS per target (default 30): builds the `fuzz` preset (clang,
# libFuzzer, AddressSanitizer, UndefinedBehaviorSanitizer), then runs each
# target from its seed corpus in tests/fuzz/corpus/<target>, keeping what it
# finds in build/fuzz/corpus/<target>. Prints each target's run count; fails,
# keeping the input as build/fuzz/crash-*, when a target finds a crash, a
# leak, a hang or a failed check. A long run: bash scripts/fuzz.sh 3600
# HEXBURN_FUZZ_DIR chooses the build directory (build/fuzz).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-30}
dir=$(realpath -m "${HEXBURN_FUZZ_DIR:-build/fuzz}")

cmake --preset fuzz -B "$dir" >/dev/null
cmake --build "$dir" --target hex_record_fuzz run_fuzz

# target  longest input (bytes)
targets=(
    "hex_record 1024"
    "run 4096"
)
for entry in "${targets[@]}"; do
    read -r target max_len <<<"$entry"
    corpus=$dir/corpus/$target
    log=$dir/$target.log
    mkdir -p "$corpus"
    status=0
    "$dir/tests/fuzz/${target}_fuzz" "$corpus" "tests/fuzz/corpus/$target" \
        -dict=tests/fuzz/hex.dict -max_len="$max_len" -max_total_time="$seconds" -timeout=10 \
        -print_final_stats=1 -artifact_prefix="$dir/" >"$log" 2>&1 || status=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "fuzz: ${target}_fuzz: ${runs:-0} runs in ${seconds} s (stat::number_of_executed_units)"
    if ((status != 0)); then
        tail -n 60 "$log"
        echo "fuzz: ${target}_fuzz failed (exit status $status); log: $log"
        exit 1
    fi
done
