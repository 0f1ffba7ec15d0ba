#!/usr/bin/env bash
# Builds the Debian package kinetra-sdk (release build, no tests or benchmarks) into build/deb/:
# the install tree under /opt/kinetra, /usr/bin links, the systemd user unit and the desktop entry.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/setup.sh
cmake -S . -B build/deb -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKINETRA_WERROR=ON \
    -DKINETRA_TESTS=OFF -DKINETRA_BENCH=OFF -DKINETRA_SYSTEM_INTEGRATION=ON \
    -DCMAKE_INSTALL_PREFIX=/opt/kinetra >/dev/null
cmake --build build/deb
rm -f build/deb/kinetra-sdk_*.deb
(cd build/deb && cpack -G DEB >/dev/null)
ls build/deb/kinetra-sdk_*.deb
