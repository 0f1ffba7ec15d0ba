#!/usr/bin/env bash
# Prints how large the tests are against the product: non-blank lines of the tracked source
# files under tests/ against those under src/ and www/ (build files and JSON data left out).
# We aim for at most 0.40.
set -euo pipefail
cd "$(dirname "$0")/.."

count() {
    git ls-files -z -- "$@" | grep -zv -e 'CMakeLists\.txt$' -e '\.json$' |
        xargs -0 cat | grep -cv '^[[:space:]]*$'
}

tests=$(count tests)
product=$(count src www)
awk -v t="$tests" -v p="$product" \
    'BEGIN { printf "test lines: %d, product lines: %d, ratio %.2f\n", t, p, t / p }'
