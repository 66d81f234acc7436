#!/usr/bin/env bash
# The Windows tests: cross-builds hexburn.exe, hexflash.exe and the simulated board's
# hexburn_sim_d2xx.dll (the windows preset), builds the Linux program beside
# them, and runs the .exe under Wine through its vendor loading path against
# the .dll, each run checked against the Linux program on the same board.
# Installs the cross compiler and Wine when they are missing.
#
# HEXBURN_WINDOWS_DIR and HEXBURN_WINE_DIR choose the two build directories
# (build/windows and build/wine); the Wine prefix lives in the second.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh --windows

windows_dir=$(realpath -m "${HEXBURN_WINDOWS_DIR:-build/windows}")
wine_dir=$(realpath -m "${HEXBURN_WINE_DIR:-build/wine}")
start=$SECONDS

echo "== windows: hexburn.exe, hexflash.exe and hexburn_sim_d2xx.dll"
cmake --preset windows -B "$windows_dir" >/dev/null
cmake --build "$windows_dir"

echo "== wine: the Linux programs and the tests"
cmake -S . -B "$wine_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHEXBURN_WERROR=ON \
    -DHEXBURN_WINE_TESTS=ON -DHEXBURN_WINDOWS_BUILD="$windows_dir" >/dev/null
cmake --build "$wine_dir" --target test_wine
# The first test, wine_prefix, makes the Wine prefix when there is none yet.
# HEXBURN_JUNIT: where to keep the results for scripts/test.sh's verdict.
ctest --test-dir "$wine_dir" -L wine -j "$(nproc)" --output-on-failure \
    ${HEXBURN_JUNIT:+--output-junit "$HEXBURN_JUNIT"}

echo "== windows tests done in $((SECONDS - start)) s"
