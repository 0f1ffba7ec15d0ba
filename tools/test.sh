#!/usr/bin/env bash
# Builds and runs the whole test suite: format check, the release build's tests and the browser
# tests against its install, the same tests under ASan+UBSan and under TSan, and every fuzz
# target for a bounded time.
# KINETRA_PRESETS="release" narrows the run for a quick local check.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/setup.sh
tools/check-format.sh

presets=${KINETRA_PRESETS:-"release asan-ubsan tsan fuzz"}
fuzz_seconds=${KINETRA_FUZZ_SECONDS:-30}

for preset in $presets; do
    echo "=== $preset"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
    if [ "$preset" = fuzz ]; then
        tools/run-fuzzers.sh build/fuzz "$fuzz_seconds"
    else
        ctest --preset "$preset"
    fi
    if [ "$preset" = release ]; then
        tools/browser-tests.sh
    fi
done
echo "=== all tests passed"
