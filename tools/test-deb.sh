#!/usr/bin/env bash
# Builds the Debian package, installs it with apt-get, starts /usr/bin/kinetra-server --simulate
# from an unrelated directory until its emulated link is listed, stops it and purges the package.
# Needs root (or sudo). Refuses to run when kinetra-sdk is installed already, since it purges it.
set -euo pipefail
cd "$(dirname "$0")/.."

as_root=()
if [ "$(id -u)" -ne 0 ]; then
    as_root=(sudo)
fi
if dpkg-query -W -f='${Status}' kinetra-sdk 2>/dev/null | grep -q "install ok installed"; then
    echo "test-deb: kinetra-sdk is installed on this machine; not touching it" >&2
    exit 1
fi

tools/build-deb.sh
deb=$(ls "$PWD"/build/deb/kinetra-sdk_*.deb)
work=$(mktemp -d)
server_pid=""

cleanup() {
    if [ -n "$server_pid" ] && running "$server_pid"; then
        kill "$server_pid" 2>/dev/null || true
    fi
    DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get purge -y kinetra-sdk >>"$work/apt.log" 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "test-deb: $*" >&2
    [ ! -s "$work/server.log" ] || sed 's/^/  server: /' "$work/server.log" >&2
    exit 1
}

# True while the process runs (a child that has ended but not been waited for is a zombie).
running() {
    local state
    state=$(ps -o stat= -p "$1" 2>/dev/null) || return 1
    [[ $state != Z* ]]
}

listening() {
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

echo "test-deb: installing $(basename "$deb")"
DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y "$deb" >"$work/apt.log" 2>&1 ||
    { cat "$work/apt.log" >&2; fail "apt-get install failed"; }
for path in /usr/bin/kinetra-server /usr/bin/kinetra-sim /opt/kinetra/cfg/config.ini \
    /opt/kinetra/www/kinetra_sdk_webserver /opt/kinetra/www/vendor/uplot/uPlot.esm.js \
    /opt/kinetra/res/tray_icon.png \
    /opt/kinetra/examples/README.md /usr/lib/systemd/user/kinetra-server.service \
    /usr/share/applications/kinetra-sdk.desktop; do
    [ -e "$path" ] || fail "the package did not install $path"
done

# Another server may hold the default ports on a shared machine: then move this one aside
# through the package's own configuration file.
port=32222
if listening 32222 || listening 32223 || listening 32224; then
    base=42222
    while listening "$base" || listening $((base + 1)) || listening $((base + 2)); do
        base=$((base + 10))
    done
    "${as_root[@]}" sed -i "s/= 32222/= $base/; s/= 32223/= $((base + 1))/; s/= 32224/= $((base + 2))/" \
        /opt/kinetra/cfg/config.ini
    port=$base
    echo "test-deb: default ports busy, using $port-$((port + 2))"
fi

# Its own TMPDIR, so the single-instance lock file of another server does not stop this one.
mkdir -p "$work/tmp"
(cd /tmp && TMPDIR="$work/tmp" exec /usr/bin/kinetra-server --simulate </dev/null >"$work/server.log" 2>&1) &
server_pid=$!

deadline=$((SECONDS + 20))
until curl -s --max-time 2 "localhost:$port/v1/device" -d '{"command":"linkStatus"}' | grep -q KSIM0001; do
    running "$server_pid" || fail "kinetra-server ended early"
    [ "$SECONDS" -lt "$deadline" ] || fail "KSIM0001 not listed on port $port within 20 s"
    sleep 0.2
done
echo "test-deb: /usr/bin/kinetra-server lists KSIM0001 on port $port"

kill "$server_pid"
deadline=$((SECONDS + 10))
while running "$server_pid"; do
    [ "$SECONDS" -lt "$deadline" ] || fail "kinetra-server did not stop within 10 s of SIGTERM"
    sleep 0.1
done
status=0
wait "$server_pid" || status=$?
server_pid=""
[ "$status" -eq 0 ] || fail "kinetra-server ended with status $status"

DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get purge -y kinetra-sdk >"$work/apt.log" 2>&1 ||
    { cat "$work/apt.log" >&2; fail "apt-get purge failed"; }
[ ! -e /opt/kinetra ] && [ ! -e /usr/bin/kinetra-server ] ||
    fail "files left behind after the purge: $(ls -d /opt/kinetra /usr/bin/kinetra-server 2>/dev/null)"
echo "test-deb: installed, ran and purged kinetra-sdk"
