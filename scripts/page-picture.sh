#!/usr/bin/env bash
# Makes doc/line-page.png, the picture of the line's page in the README and
# doc/production.md: a shift of the simulated line (three watch runs on eight
# boards, two images, two failures), served and taken by headless Chromium.
#   bash scripts/page-picture.sh [BUILD_DIR]   (default build/ci-gcc)
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath doc/line-page.png)
hexflash=$(realpath "${1:-build/ci-gcc}/src/hexflash/hexflash")
work=$(mktemp -d)
pids=()
trap 'kill "${pids[@]}" 2>/dev/null; rm -rf "$work"' EXIT
cd "$work"

for version in 2.1 2.2; do
    head -c 6000 /dev/urandom >fw.bin
    srec_cat fw.bin -binary -offset 0x10000 -o "firmware-$version.hex" -intel -obs=32
done
export HEXFLASH_DB=sqlite:$work/line.db
sim="sim:boards=8,timing=zero,chip=w25q16jv,present=present"
echo "0 1 2 3 4 5 6 7" >present
HEXBURN_DRIVER="$sim,flash=a%d.bin" "$hexflash" watch firmware-2.1.hex --count 8 2>/dev/null
HEXBURN_DRIVER="$sim,flash=b%d.bin,fault=stuck-busy#5" \
    "$hexflash" watch firmware-2.1.hex --count 8 2>/dev/null || true
HEXBURN_DRIVER="$sim,flash=c%d.bin,chip=none#2" \
    "$hexflash" watch firmware-2.2.hex --count 8 2>/dev/null || true
# A watch still running, so that its stations are current.
HEXBURN_DRIVER="$sim,flash=d%d.bin" "$hexflash" watch firmware-2.2.hex 2>/dev/null &
pids+=($!)
"$hexflash" serve --listen 127.0.0.1:0 2>serve.txt &
pids+=($!)
for _ in $(seq 50); do
    grep -q "at http://" serve.txt && break
    sleep 0.1
done
url=$(grep -o 'http://[^ ]*/' serve.txt)
sleep 2
chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
    --disable-background-networking --disable-component-update --disable-sync \
    --hide-scrollbars --user-data-dir="$work/profile" --virtual-time-budget=5000 \
    --window-size=1400,1100 --screenshot="$out" "$url" 2>/dev/null
echo "$out"
