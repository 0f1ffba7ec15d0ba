#!/usr/bin/env bash
# Runs the browser tests (tests/browser/*.test.mjs) with node's test runner and headless
# Chromium against an installed server: the prefix given, or the release build installed into
# build/release/install-browser. Installs the tests' npm packages when missing or stale.
# Screenshots go to $KINETRA_ARTIFACTS (default build/browser-artifacts).
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

prefix=${1:-}
if [ -z "$prefix" ]; then
    prefix=build/release/install-browser
    cmake --install build/release --prefix "$prefix" >/dev/null
fi
prefix=$(cd "$prefix" && pwd)

cd tests/browser
# npm ci rewrites node_modules/.package-lock.json: older than the lock file means stale.
if [ ! -f node_modules/.package-lock.json ] || [ package-lock.json -nt node_modules/.package-lock.json ]; then
    npm ci --no-audit --no-fund
fi

# One test file at a time: each starts its own server and browser, and CI has two cores.
runner=(node --test)
# The tests act as a second client over WebSocket: Node before 22 has it behind a flag.
if ! node -e 'process.exit(typeof WebSocket === "function" ? 0 : 1)' 2>/dev/null &&
    node --experimental-websocket -e '' 2>/dev/null; then
    runner=(node --experimental-websocket --test)
fi
if node --help | grep -q -- --test-concurrency; then
    runner+=(--test-concurrency=1)
fi
KINETRA_INSTALL="$prefix" KINETRA_ARTIFACTS="${KINETRA_ARTIFACTS:-$repo/build/browser-artifacts}" \
    "${runner[@]}" ./*.test.mjs
