#!/usr/bin/env bash
# Every test: installs what it needs, then builds with g++ and with clang++
# (warnings are errors) and runs the whole suite under each, then under
# AddressSanitizer and UndefinedBehaviorSanitizer (asan), fuzzes each fuzz
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

for preset in ci-gcc ci-clang asan; do
    echo "== $preset"
    start=$SECONDS
    # The browser's tests drive Chromium, which the sanitizers have nothing to say about.
    skip=()
    if [[ $preset == asan ]]; then
        skip=(-LE browser)
    fi
    if cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset"; then
        ctest --preset "$preset" -j "$(nproc)" "${skip[@]}" --output-junit "$results/$preset.xml"
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
