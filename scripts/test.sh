#!/usr/bin/env bash
# Every test: installs what it needs, then builds with g++ and with clang++
# (warnings are errors) and runs the whole suite under each, then the Windows
# program under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

for preset in ci-gcc ci-clang; do
    echo "== $preset"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
    ctest --preset "$preset" -j "$(nproc)"
done

bash scripts/test-windows.sh
