#!/usr/bin/env bash
# Every test: installs what it needs, then builds with g++ and with clang++
# (warnings are errors) and runs the whole suite under each, then under
# AddressSanitizer and UndefinedBehaviorSanitizer (asan), fuzzes each fuzz
# target for 30 s, and runs the Windows program under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

for preset in ci-gcc ci-clang asan; do
    echo "== $preset"
    start=$SECONDS
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
    ctest --preset "$preset" -j "$(nproc)"
    echo "== $preset done in $((SECONDS - start)) s"
done

echo "== fuzz"
start=$SECONDS
bash scripts/fuzz.sh 30
echo "== fuzz done in $((SECONDS - start)) s"

bash scripts/test-windows.sh
