#!/usr/bin/env bash
# Installs every Debian package that building, running and testing kinetra needs.
set -euo pipefail

packages=(
    g++ cmake ninja-build pkg-config ccache git
    clang clang-format libclang-rt-14-dev
    libzmq3-dev cppzmq-dev libserialport-dev nlohmann-json3-dev
    libspdlog-dev libfmt-dev libhttp-parser-dev libasio-dev libssl-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    libayatana-appindicator3-dev libgtk-3-dev libnotify-dev
    liblo-dev liblo-tools
    mosquitto mosquitto-clients libmosquitto-dev openssl
    prometheus
    procps gcovr
    nginx-light wrk
    chromium
    dpkg-dev file
)
# The browser tests run on node; a newer node already on PATH is kept.
command -v node >/dev/null || packages+=(nodejs)
command -v npm >/dev/null || packages+=(npm)

as_root=()
if [ "$(id -u)" -ne 0 ]; then
    as_root=(sudo)
fi

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
        missing+=("$package")
done
if [ "${#missing[@]}" -gt 0 ]; then
    "${as_root[@]}" apt-get update
    DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
fi
