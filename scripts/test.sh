#!/usr/bin/env bash
# Every test: installs what it needs, then builds with g++ and with clang++
# (warnings are errors) and runs the whole suite under g++, all but its heavy
# labels under clang++ and under AddressSanitizer and
# UndefinedBehaviorSanitizer (asan), fuzzes each fuzz
# target for 30 s, and runs the Windows program under Wine. Ends with one
# verdict line (suites, tests passed, failed, skipped with each reason, the
# time) and exits 1 when anything failed; a suite that fails does not stop
# the ones after it.
set -uo pipefail
cd "$(dirname "$0")/.."

begin=$SECONDS
results=$(realpath -m build/test-results)
rm -rf "$results"
mkdir -p "$results"
suites=()

bash scripts/setup.sh || exit 1

# Compiled units are cached across the builds and across runs (ccache, when
# installed); paths are taken relative to the tree so that a fresh clone hits.
export CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=true

# The suites whose worth is in their breadth rather than the compiler (the
# dense fault matrix, the PostgreSQL server, the browser) run in the g++ pass
# only; clang and the sanitizers run every other test.
heavy='matrix|postgres|browser'

for preset in ci-gcc ci-clang asan; do
    echo "== $preset"
    start=$SECONDS
    if cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset"; then
        only=()
        [[ $preset == ci-gcc ]] || only=(-LE "$heavy")
        ctest --preset "$preset" -j "$(nproc)" "${only[@]}" --output-junit "$results/$preset.xml"
        suites+=("$preset=$results/$preset.xml")
    else
        suites+=("$preset=failed")
    fi
    echo "== $preset done in $((SECONDS - start)) s"
done

echo "== fuzz"
start=$SECONDS
if bash scripts/fuzz.sh 30; then
    suites+=("fuzz=ok")
else
    suites+=("fuzz=failed")
fi
echo "== fuzz done in $((SECONDS - start)) s"

if HEXBURN_JUNIT="$results/windows.xml" bash scripts/test-windows.sh; then
    suites+=("windows=$results/windows.xml")
elif [[ -f $results/windows.xml ]]; then
    suites+=("windows=$results/windows.xml")
else
    suites+=("windows=failed")
fi

python3 scripts/verdict.py "$((SECONDS - begin))" "${suites[@]}"
