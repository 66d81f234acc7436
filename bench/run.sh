#!/usr/bin/env bash
# Every benchmark, in one command: installs what it needs, builds the `bench`
# preset (Release) and runs, on the same 2 MiB image of 16-byte records,
#
#   1. the Google Benchmark suite (bench/bench_main.cpp, and hexflash's
#      transport in bench/fastflash_bench.cpp); arguments go to it,
#      e.g. --benchmark_filter=Parse
#   2. instructions per data record under callgrind (bench/callgrind.sh)
#   3. the image check beside objcopy and srec_cat (bench/compare.sh)
#   4. the cost of a burn from the simulated board's reports (bench/cost.sh)
#   5. one full burn into the simulated board as a user runs it: real and
#      virtual seconds, peak memory
#
# The build directory is build/bench, or HEXBURN_BENCH_BUILD.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
build=${HEXBURN_BENCH_BUILD:-build/bench}
cmake --preset bench -B "$build" >/dev/null
cmake --build "$build"
hexburn=$build/src/hexburn/hexburn

image=$build/bench-image.hex
bench/make_image.sh "$image"

echo "== 1. Google Benchmark"
HEXBURN_BENCH_IMAGE=$image "$build/bench/hexburn_bench" "$@"

echo
echo "== 2. The program's own work, counted by callgrind"
bench/callgrind.sh "$build"

echo
echo "== 3. The check before the erase beside objcopy and srec_cat"
bench/compare.sh "$hexburn"

echo
echo "== 4. The cost of a burn"
bench/cost.sh "$hexburn"

echo
echo "== 5. A full burn into the simulated board"
report=$build/bench-report.json
start=$EPOCHREALTIME
HEXBURN_DRIVER=sim:report=$report /usr/bin/time -f "%M" -o "$build/bench-rss.txt" \
    "$hexburn" "$image" >/dev/null
end=$EPOCHREALTIME
real_us=$((${end/./} - ${start/./}))
virtual_s=$(sed -n 's/^  "virtual_seconds": \([0-9.]*\),$/\1/p' "$report")
awk -v r="$real_us" -v v="$virtual_s" -v k="$(cat "$build/bench-rss.txt")" 'BEGIN {
    printf "  real %.3f s, virtual %.1f s: %.0f times faster than the board; peak memory %.1f MiB\n",
        r / 1e6, v, v / (r / 1e6), k / 1024
}'
