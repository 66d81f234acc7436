#!/usr/bin/env bash
# Times, side by side on one file, hexburn's check of a whole 2 MiB image
# against two converters reading the same file:
#
#   hexburn     checks every line and refuses the image on its last one, on
#               the simulated board (HEXBURN_DRIVER=sim): nothing is erased
#   objcopy     -I ihex -O binary
#   srec_cat    -intel -o ... -binary
#
# Each runs RUNS times (default 11), the three taking turns so that a busy
# moment of the machine falls on all of them; the medians and their ratios
# are printed.
#
#   bench/compare.sh [HEXBURN]    default build/bench/src/hexburn/hexburn
set -euo pipefail
cd "$(dirname "$0")/.."

hexburn=$(realpath "${1:-build/bench/src/hexburn/hexburn}")
runs=${RUNS:-11}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

image=$work/refused.hex
bench/make_image.sh "$image" --refused

# Microseconds one command takes; its output is dropped.
elapsed_us() {
    local start=$EPOCHREALTIME
    "$@" >/dev/null 2>&1 || true
    local end=$EPOCHREALTIME
    echo $((${end/./} - ${start/./}))
}

check() { HEXBURN_DRIVER=sim "$hexburn" "$image"; }
convert_objcopy() { objcopy -I ihex -O binary "$image" "$work/objcopy.bin"; }
convert_srec_cat() { srec_cat "$image" -intel -o "$work/srec_cat.bin" -binary; }

# The runs must do what they are timed for.
set +e
said=$(check)
status=$?
set -e
if [[ $status -ne 1 || $said != *"Image does not fit into flash!"* || $said == *Erasing* ]]; then
    echo "compare: hexburn did not refuse the image before erasing (exit $status)" >&2
    exit 1
fi
convert_objcopy
convert_srec_cat 2>/dev/null
cmp -s "$work/objcopy.bin" "$work/srec_cat.bin" || {
    echo "compare: objcopy and srec_cat disagree" >&2
    exit 1
}

tools=(check convert_objcopy convert_srec_cat)
declare -A times
for ((round = 0; round < runs; round++)); do
    for ((i = 0; i < 3; i++)); do
        tool=${tools[(round + i) % 3]}
        times[$tool]+="$(elapsed_us "$tool") "
    done
done

median_us() {
    tr ' ' '\n' <<<"$1" | grep . | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}
check_us=$(median_us "${times[check]}")
objcopy_us=$(median_us "${times[convert_objcopy]}")
srec_us=$(median_us "${times[convert_srec_cat]}")

lines=$(wc -l <"$image")
bytes=$(stat -c %s "$image")
echo "image: $lines lines, $bytes bytes (bench/make_image.sh --refused); median of $runs runs each"
awk -v c="$check_us" -v o="$objcopy_us" -v s="$srec_us" 'BEGIN {
    printf "  hexburn check, refused on the last line  %8.2f ms\n", c / 1000
    printf "  objcopy -I ihex -O binary                %8.2f ms   %5.2f x the check\n", o / 1000, o / c
    printf "  srec_cat -intel ... -binary              %8.2f ms   %5.2f x the check\n", s / 1000, s / c
}'
