#!/usr/bin/env bash
# Builds kinetra, installs it into ./install and starts the server in the foreground.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/setup.sh
cmake -S . -B build/run -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKINETRA_TESTS=OFF -DKINETRA_BENCH=OFF >/dev/null
cmake --build build/run
cmake --install build/run --prefix install >/dev/null

cd install/bin
# An emulated link adapter with a pan/tilt head and a slider is plugged in at once.
exec ./kinetra-server "$@" --simulate
