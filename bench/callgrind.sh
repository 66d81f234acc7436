#!/usr/bin/env bash
# Counts, with valgrind's callgrind, the instructions the program spends per
# data record of the 2 MiB image: one run of hexburn_own_work (the whole
# program against the board that answers at once), counted from hexburn_main
# on, less what the stand-in board itself spends answering.
#
#   bench/callgrind.sh [BUILD]    default build/bench
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build/bench}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

image=$work/image.hex
bench/make_image.sh "$image"
records=$(grep -c '^:10....00' "$image")

valgrind --tool=callgrind --callgrind-out-file="$work/out" --toggle-collect='hexburn_main(*' \
    "$build/bench/hexburn_own_work" "$image" >"$work/run.txt" 2>"$work/valgrind.txt"
callgrind_annotate --inclusive=yes "$work/out" >"$work/annotated.txt"

# Inclusive counts: the program from hexburn_main on, and the board's entry
# points (its helpers are inside them).
count() { grep "$1" "$work/annotated.txt" | awk '{ gsub(",", "", $1); n += $1 } END { print n + 0 }'; }
total=$(count ':hexburn_main(')
board=$(count ':InstantDriver::')

awk -v t="$total" -v b="$board" -v r="$records" 'BEGIN {
    printf "%d data records; %s\n", r, "'"$(cat "$work/run.txt")"'"
    printf "  instructions, whole run          %12d  %6.0f per record\n", t, t / r
    printf "  of them the stand-in board       %12d  %6.0f per record\n", b, b / r
    printf "  the program'"'"'s own work           %12d  %6.0f per record\n", t - b, (t - b) / r
}'
