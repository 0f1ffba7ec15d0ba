#!/usr/bin/env bash
# Shows the desktop tray on a virtual X display and saves screenshots: Xvfb, a private session
# bus, trayer as the notification area and notification-daemon; starts the installed server,
# opens the tray menu with a click on its icon, then ends the server with the menu's Exit.
# Usage: tools/tray-desktop-check.sh INSTALL_PREFIX [OUTPUT_DIR]   (default build/tray-artifacts)
# Needs the Debian packages xvfb trayer notification-daemon xdotool imagemagick x11-utils dbus.
set -euo pipefail

prefix=$(realpath "${1:?install prefix (cmake --install build/release --prefix P)}")
out=$(realpath -m "${2:-build/tray-artifacts}")
mkdir -p "$out" "$out/tmp"
display=:$((90 + RANDOM % 100))

Xvfb "$display" -screen 0 640x480x24 -nolisten tcp >"$out/xvfb.log" 2>&1 &
xvfb=$!
trap 'kill "$xvfb" 2>/dev/null || true' EXIT
export DISPLAY=$display
for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done

if [ ! -e "$prefix/res/tray_icon.png" ] && [ ! -e "$prefix/res/tray_icon.ico" ]; then
    echo "no tray icon installed: the theme's icon stands in" >&2
fi

dbus-run-session -- bash -s "$prefix" "$out" <<'SESSION'
set -euo pipefail
prefix=$1 out=$2
trayer --edge top --align right --widthtype request --height 32 --transparent false \
    --tint 0xdddddd >"$out/trayer.log" 2>&1 &
/usr/lib/notification-daemon/notification-daemon >"$out/notification-daemon.log" 2>&1 &
sleep 1
(cd "$prefix/bin" && exec env TMPDIR="$out/tmp" ./kinetra-server </dev/null >"$out/server.log" 2>&1) &
server=$!

# The icon counts once trayer has embedded it (a window of ours inside the visible panel) and
# the panel has settled: the same place on two looks half a second apart.
icon="" previous=""
for _ in $(seq 40); do
    icon=$(xwininfo -root -tree | grep '("kin_tray" "kin_tray")' | grep -v '+-' || true)
    [ -n "$icon" ] && [ "$icon" = "$previous" ] && break
    previous=$icon
    sleep 0.5
done
if [ -z "$icon" ]; then
    echo "the tray icon did not appear" >&2
    kill "$server"; exit 1
fi
echo "tray icon: $icon"
import -window root "$out/tray-icon.png"

# The popup menu is a mapped window of the server larger than GTK's 10x10 leader window.
menuShown() {
    xwininfo -root -tree | grep '("kinetra-server" "Kinetra-server")' | grep -vq ' 10x10+'
}
# The panel moves icons when others come and go (the notification daemon's), so the icon is
# looked up again before each click.
for attempt in 1 2 3 4 5; do
    icon=$(xwininfo -root -tree | grep '("kin_tray" "kin_tray")' | grep -v '+-' || true)
    # "WxH+x+y  +absX+absY": click the middle of the icon.
    read -r w h x y < <(echo "$icon" |
        sed -E 's/.* ([0-9]+)x([0-9]+)\+-?[0-9]+\+-?[0-9]+ +\+(-?[0-9]+)\+(-?[0-9]+).*/\1 \2 \3 \4/')
    xdotool mousemove $((x + w / 2)) $((y + h / 2)) click 1
    sleep 1
    menuShown && break
    xdotool key Escape
done
import -window root "$out/tray-menu-open.png"
menuShown && echo "the menu opened on a click on the icon (attempt $attempt)"
# The menu's last entry is Exit; choose it from the keyboard.
xdotool key Up Return
for _ in $(seq 100); do kill -0 "$server" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$server" 2>/dev/null; then
    echo "Exit did not end the server" >&2
    kill "$server"; exit 1
fi
wait "$server" && echo "server ended with status 0"
grep -q "Shutting down." "$out/server.log" && echo "server shut down in order"
SESSION
echo "screenshots: $out/tray-icon.png $out/tray-menu-open.png"
