#!/usr/bin/env bash
# The cost of a burn, from the simulated board's reports: a full 2 MiB burn
# with the chip's typical, maximum and zero busy times, each beside a burn of
# an image with no data record (set-up and erase only); the difference,
# divided by the 131,072 data records, is what one record costs.
#
# Where the time goes (with 1 ms latency timer, 1 MHz SK): the run with zero
# busy times has USB write transfers (125 us each), SPI clocking (1 us per SK
# cycle) and, for the rest, waiting for the latency timer to send the
# answers; what the typ and max runs take beyond it is the chip's.
#
#   bench/cost.sh [HEXBURN]    default build/bench/src/hexburn/hexburn
set -euo pipefail
cd "$(dirname "$0")/.."

hexburn=$(realpath "${1:-build/bench/src/hexburn/hexburn}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

bench/make_image.sh "$work/full.hex"
echo ":00000001FF" >"$work/empty.hex"
records=$(grep -c '^:10....00' "$work/full.hex")

# KEY's value in a report.
value() { sed -n "s/^  \"$2\": \\([0-9.]*\\),\\{0,1\\}\$/\\1/p" "$1"; }

for timing in typ max zero; do
    for image in full empty; do
        HEXBURN_DRIVER="sim:timing=$timing,report=$work/$timing-$image.json" \
            "$hexburn" "$work/$image.hex" >/dev/null
    done
done

# Per-record difference of KEY between the full and the empty run.
per_record() {
    local full empty
    full=$(value "$work/$1-full.json" "$2")
    empty=$(value "$work/$1-empty.json" "$2")
    awk -v f="$full" -v e="$empty" -v r="$records" 'BEGIN { printf "%.6f", (f - e) / r }'
}

echo "Per data record ($records records; full image less an image without data):"
echo
echo "| timing | USB writes | USB reads | writes - reads | status polls | SK cycles | virtual time | full 2 MiB burn |"
echo "|---|---|---|---|---|---|---|---|"
for timing in typ max zero; do
    writes=$(per_record $timing usb_writes)
    reads=$(per_record $timing usb_reads)
    sk=$(per_record $timing sk_cycles)
    seconds=$(per_record $timing virtual_seconds)
    total=$(value "$work/$timing-full.json" virtual_seconds)
    awk -v t=$timing -v w="$writes" -v r="$reads" -v k="$sk" -v s="$seconds" -v T="$total" 'BEGIN {
        printf "| %s | %g | %g | %g | %g | %.0f | %.3f ms | %.1f s (%d min %02d s) |\n",
            t, w, r, w - r, r - 1, k, s * 1000, T, int(T / 60), int(T - 60 * int(T / 60) + 0.5)
    }'
done

echo
echo "Where a record's time goes:"
echo
echo "| timing | USB write transfers | SPI clock | latency timer | chip busy | total |"
echo "|---|---|---|---|---|---|"
zero_writes=$(per_record zero usb_writes)
zero_sk=$(per_record zero sk_cycles)
zero_s=$(per_record zero virtual_seconds)
for timing in typ max; do
    seconds=$(per_record $timing virtual_seconds)
    awk -v t=$timing -v w="$zero_writes" -v k="$zero_sk" -v z="$zero_s" -v s="$seconds" 'BEGIN {
        usb = w * 0.125; spi = k / 1000; latency = z * 1000 - usb - spi; chip = (s - z) * 1000
        total = s * 1000
        printf "| %s | %.3f ms (%.0f %%) | %.3f ms (%.0f %%) | %.3f ms (%.0f %%) | %.3f ms (%.0f %%) | %.3f ms |\n",
            t, usb, 100 * usb / total, spi, 100 * spi / total, latency, 100 * latency / total,
            chip, 100 * chip / total, total
    }'
done
