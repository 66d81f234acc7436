#!/usr/bin/env bash
# The main job: builds hexburn and runs it.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release
./build/release/src/app/hexburn -h
