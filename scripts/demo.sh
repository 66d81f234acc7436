#!/usr/bin/env bash
# The main job: builds hexburn and burns the example image into a simulated
# board whose flash is the file build/demo-flash.bin.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release
HEXBURN_DRIVER=sim:flash=build/demo-flash.bin,report=build/demo-report.json \
    ./build/release/src/app/hexburn examples/demo.hex
echo "flash: build/demo-flash.bin; report: build/demo-report.json"
cat build/demo-report.json
