#!/usr/bin/env bash
# Line and branch coverage of src/ by the whole test suite (or the tests matching $1), from
# the coverage preset's gcov counters. Prints gcovr's summary; a per-file table goes to
# build/coverage/coverage.txt.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset coverage >/dev/null
cmake --build --preset coverage
find build/coverage -name '*.gcda' -delete
ctest --preset coverage ${1:+-R "$1"} || echo "=== some tests failed; coverage counts what ran"
# Throw branches and unreachable compiler-made branches say nothing about the tests.
gcovr --root . --filter 'src/' build/coverage \
    --exclude-throw-branches --exclude-unreachable-branches \
    --txt build/coverage/coverage.txt --print-summary | tail -3
