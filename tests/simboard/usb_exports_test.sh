#!/bin/sh
# Every libusb_* function the real libusb-1.0 exports ($2), the stand-in ($1)
# defines as well: none falls through to the real library with the
# stand-in's handles.
set -eu
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
nm -D --defined-only "$1" | awk '{print $3}' | grep '^libusb_' | sed 's/@.*//' | sort -u >"$dir/ours"
nm -D --defined-only "$2" | awk '{print $3}' | grep '^libusb_' | sed 's/@.*//' | sort -u >"$dir/real"
missing=$(comm -13 "$dir/ours" "$dir/real")
if [ -n "$missing" ]; then
    echo "the stand-in does not define:" $missing
    exit 1
fi
echo "$(wc -l <"$dir/real") libusb functions, all defined by the stand-in"
