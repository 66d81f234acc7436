#!/usr/bin/env bash
# The main job: builds hexburn and burns the example image into a simulated
# board whose flash is the file build/demo-flash.bin.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release
HEXBURN_DRIVER=sim:flash=build/demo-flash.bin,report=build/demo-report.json \
    ./build/release/src/hexburn/hexburn examples/demo.hex
echo
echo "The simulated chip is now the file build/demo-flash.bin (2 MiB; every image byte"
echo "bit-reversed at its address, the rest 0xFF). Its first bytes:"
od -A x -t x1 -N 64 build/demo-flash.bin
echo "The board's report (USB traffic and the time a real board would take):"
cat build/demo-report.json
