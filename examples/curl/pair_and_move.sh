#!/usr/bin/env bash
# kinetra SDK example: list the links, pair a link adapter's devices over the radio, read the
# bundle's status, move it and stop it. Needs bash, curl, grep, sed and awk only.
#
#   ./pair_and_move.sh [SERVER [LINK_ID]]
#
# SERVER defaults to http://127.0.0.1:32222; LINK_ID to the first link the server lists. Every
# wait is bounded; on any failure the script says what went wrong and exits with status 2.
# The server answers compact JSON with its keys in alphabetical order, which keeps the text
# matching below simple; a real program would use a JSON parser.
set -euo pipefail

server=${1:-http://127.0.0.1:32222}
server=${server%/}
link_id=${2:-}

# Status 2 ends the script, also from inside $(...): every caller passes it on. Status 1 of
# a polled function means "not yet".
fail() {
    echo "error: $*" >&2
    exit 2
}

# post PATH BODY: prints the service's JSON reply.
post() {
    local reply
    reply=$(curl -sS --max-time 10 -H 'Content-Type: application/json' -d "$2" "$server$1" 2>&1) ||
        fail "cannot reach $server$1: $reply"
    printf '%s' "$reply"
}

# post_ok WHAT PATH BODY: like post, but fails unless the reply's result is "ok".
post_ok() {
    local reply
    reply=$(post "$2" "$3") || exit $?
    case $reply in
    *'"result":"ok"'*) printf '%s' "$reply" ;;
    *) fail "$1 failed: $reply" ;;
    esac
}

# poll WHAT SECONDS FUNCTION: runs FUNCTION a few times a second until it succeeds; its output
# is the answer.
poll() {
    local what=$1 deadline=$((SECONDS + $2)) answer status
    while true; do
        status=0
        answer=$($3) || status=$?
        case $status in
        0) printf '%s' "$answer" && return 0 ;;
        1) ;;
        *) exit "$status" ;;
        esac
        [ "$SECONDS" -lt "$deadline" ] || fail "gave up after $2 s waiting for $what"
        sleep 0.2
    done
}

# The flat JSON object of the link to use, once the server lists it.
link_record() {
    local links
    links=$(post_ok linkStatus /v1/device '{"command":"linkStatus"}') || exit $?
    if [ -n "$link_id" ]; then
        grep -o "{[^{}]*\"linkID\":\"$link_id\"[^{}]*}" <<<"$links"
    else
        grep -o '{[^{}]*"linkID":"[^"]*"[^{}]*}' <<<"$links" | head -n 1 | grep .
    fi
}

# value KEY TEXT: the first string value of KEY in TEXT.
value() {
    grep -o "\"$1\":\"[^\"]*\"" <<<"$2" | head -n 1 | sed 's/^"[^"]*":"//; s/"$//'
}

scan_results() {
    local reply
    reply=$(post_ok scan "/v1/link/$link_id" '{"command":"wirelessPairingScanResults"}') || exit $?
    grep -o '{[^{}]*"mac":"[^"]*"[^{}]*}' <<<"$reply"
}

pairing_done() {
    local reply
    reply=$(post_ok status "/v1/link/$link_id" '{"command":"wirelessPairingStatus"}') || exit $?
    case $reply in
    *'"wirelessPairState":"connectionOk"'*) return 0 ;;
    *'"wirelessPairState":"problem"'*) fail "pairing failed: $(value lastPairError "$reply")" ;;
    esac
    # Once paired the link answers link commands with a notice instead of a state.
    local link
    link=$(link_record) || exit $?
    grep -q '"isPairingDone":true' <<<"$link"
}

pair_over_radio() {
    post_ok "scan start" "/v1/link/$link_id" '{"command":"wirelessPairingScanStart"}' >/dev/null
    local devices macs="" count=0 master=""
    # A bundle holds up to 4 devices.
    devices=$(poll "the radio scan to find devices" 15 scan_results) || exit $?
    devices=$(head -n 4 <<<"$devices")
    while read -r device; do
        echo "  found $(value type "$device") ($(value setup "$device")) at $(value mac "$device")"
        [ -n "$master" ] || master=$(value type "$device")
        macs+="${macs:+,}\"$(value mac "$device")\""
        count=$((count + 1))
    done <<<"$devices"
    post_ok "create bundle" "/v1/link/$link_id" "{\"command\":\"wirelessPairingCreateBundle\",\
\"deviceCount\":$count,\"forcedMasterDevice\":\"$master\",\"macList\":[$macs]}" >/dev/null
    poll "the radio to report connectionOk" 20 pairing_done >/dev/null
}

# The bundle's status data, once there is any.
bundle_status() {
    local reply
    reply=$(post_ok "bundle status" "/v1/bundle/$link_id/status" '{}') || exit $?
    case $reply in
    *'"data":{'*) printf '%s' "$reply" ;;
    *) return 1 ;;
    esac
}

readings() {
    grep -o '"readings":{[^}]*}' <<<"$1" | sed 's/^"readings"://'
}

readings_changed() {
    local status now
    status=$(bundle_status) || return $?
    now=$(readings "$status")
    [ "$now" != "$before" ] && printf '%s' "$now"
}

link=$(poll "link ${link_id:-(any)} to be listed" 10 link_record)
link_id=$(value linkID "$link")
echo "link $link_id: $(value linkType "$link") on $(value portName "$link")"
if grep -q '"isPairingDone":true' <<<"$link"; then
    echo "already paired"
else
    echo "pairing over the radio"
    pair_over_radio
    echo "paired"
fi

status=$(poll "the bundle's first status" 10 bundle_status)
before=$(readings "$status")
echo "status: $(value state "$status"), readings $before"

# Target values of a short real-time move, per axis a bundle may support.
supported=$(grep -o '"realTimeSupportedAxes":\[[^]]*\]' <<<"$status" || true)
move=""
for target in headPan:20.0 headTilt:5.0 slide:0.3 focus:1000.0; do
    axis=${target%%:*}
    if grep -q "\"axis\":\"$axis\"" <<<"$supported"; then
        # An axis already near its target goes back to zero instead, so every run moves the gear.
        reading=$(sed -n "s/.*\"$axis\":\(-\{0,1\}[0-9.eE+-]*\).*/\1/p" <<<"$before")
        move+=",\"$axis\":$(awk -v r="${reading:-x}" -v t="${target#*:}" 'BEGIN {
            d = r - t; if (d < 0) d = -d; a = t < 0 ? -t : t
            print (r != "x" && d < a / 2) ? 0 : t }')"
    fi
done
[ -n "$move" ] || fail "the bundle has no axis this example moves ($supported)"
post_ok move "/v1/bundle/$link_id" \
    "{\"command\":\"realTimeMoveFixedDuration\",\"duration\":2.0$move}" >/dev/null
moved=$(poll "the readings to change" 5 readings_changed)
echo "moved: readings $moved"
post_ok abort "/v1/bundle/$link_id" '{"command":"motionAbort"}' >/dev/null
status=$(post_ok "bundle status" "/v1/bundle/$link_id/status" '{}')
echo "aborted: $(value state "$status")"
