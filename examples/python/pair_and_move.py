#!/usr/bin/env python3
"""kinetra SDK example: list the links, pair a link adapter's devices over the radio, read the
bundle's status, move it and stop it. Python 3 standard library only.

  python3 pair_and_move.py [SERVER [LINK_ID]]

SERVER defaults to http://127.0.0.1:32222; LINK_ID to the first link the server lists. Every
wait is bounded; on any failure the script says what went wrong and exits with status 1.
"""

import json
import sys
import time
import urllib.error
import urllib.request

# Target values of a short real-time move, per axis a bundle may support.
MOVE_TARGETS = {"headPan": 20.0, "headTilt": 5.0, "slide": 0.3, "focus": 1000.0}
MOVE_SECONDS = 2.0


def away_from(reading, target):
    """`target`, or zero when `reading` is already within half of the way there."""
    if isinstance(reading, (int, float)) and abs(reading - target) < abs(target) / 2:
        return 0.0
    return target


class ExampleError(Exception):
    pass


def post(server, path, body):
    """Sends one JSON request to the service at `path` and returns its JSON reply."""
    request = urllib.request.Request(
        server + path,
        data=json.dumps(body).encode(),
        headers={"Content-Type": "application/json"},
        method="POST",
    )
    try:
        with urllib.request.urlopen(request, timeout=10) as response:
            return json.loads(response.read())
    except urllib.error.URLError as error:
        raise ExampleError(f"cannot reach {server}{path}: {error.reason}") from None
    except (OSError, ValueError) as error:
        raise ExampleError(f"no usable answer from {server}{path}: {error}") from None


def expect_ok(reply, what):
    if reply.get("result") != "ok":
        raise ExampleError(f"{what} failed: {reply.get('result', reply)}")
    return reply


def poll(what, seconds, ask):
    """Calls ask() a few times a second until it returns something other than None."""
    deadline = time.monotonic() + seconds
    while True:
        answer = ask()
        if answer is not None:
            return answer
        if time.monotonic() >= deadline:
            raise ExampleError(f"gave up after {seconds:g} s waiting for {what}")
        time.sleep(0.2)


def list_links(server):
    return expect_ok(post(server, "/v1/device", {"command": "linkStatus"}), "linkStatus")["data"]


def find_link(server, link_id):
    """The link record, waiting until the server lists it (a link is listed once known)."""

    def ask():
        links = list_links(server)
        for link in links:
            if link_id is None or link["linkID"] == link_id:
                return link
        return None

    return poll(f"link {link_id or '(any)'} to be listed", 10, ask)


def pair_over_radio(server, link_id):
    link_path = f"/v1/link/{link_id}"
    expect_ok(post(server, link_path, {"command": "wirelessPairingScanStart"}), "scan start")

    def scanned():
        reply = expect_ok(post(server, link_path, {"command": "wirelessPairingScanResults"}), "scan")
        return reply["data"] or None

    devices = poll("the radio scan to find devices", 15, scanned)[:4]  # a bundle holds up to 4
    for device in devices:
        print(f"  found {device['type']} ({device['setup']}) at {device['mac']}")
    expect_ok(
        post(
            server,
            link_path,
            {
                "command": "wirelessPairingCreateBundle",
                "deviceCount": len(devices),
                "forcedMasterDevice": devices[0]["type"],
                "macList": [device["mac"] for device in devices],
            },
        ),
        "create bundle",
    )

    def connected():
        reply = expect_ok(post(server, link_path, {"command": "wirelessPairingStatus"}), "status")
        state = (reply.get("data") or {}).get("wirelessPairState")
        if state == "connectionOk":
            return True
        if state == "problem":
            raise ExampleError(f"pairing failed: {reply['data'].get('lastPairError')}")
        # Once paired the link answers link commands with a notice instead of a state.
        return True if find_link(server, link_id).get("isPairingDone") else None

    poll("the radio to report connectionOk", 20, connected)


def bundle_status(server, link_id):
    reply = expect_ok(post(server, f"/v1/bundle/{link_id}/status", {}), "bundle status")
    return reply.get("data")


def main(argv):
    server = (argv[1] if len(argv) > 1 else "http://127.0.0.1:32222").rstrip("/")
    wanted = argv[2] if len(argv) > 2 else None

    link = find_link(server, wanted)
    link_id = link["linkID"]
    print(f"link {link_id}: {link['linkType']} on {link['portName']}")
    if link.get("isPairingDone"):
        print("already paired")
    else:
        print("pairing over the radio")
        pair_over_radio(server, link_id)
        print("paired")

    status = poll("the bundle's first status", 10, lambda: bundle_status(server, link_id))
    before = status["readings"]
    print(f"status: {status['state']}, readings {before}")

    axes = {entry["axis"] for entry in status["realTimeSupportedAxes"]}
    # An axis already near its target goes back to zero instead, so that every run moves the gear.
    move = {
        axis: away_from(status["readings"].get(axis), target)
        for axis, target in MOVE_TARGETS.items()
        if axis in axes
    }
    if not move:
        raise ExampleError(f"the bundle has no axis this example moves (it has {sorted(axes)})")
    command = {"command": "realTimeMoveFixedDuration", "duration": MOVE_SECONDS, **move}
    expect_ok(post(server, f"/v1/bundle/{link_id}", command), "move")

    def moved():
        readings = bundle_status(server, link_id)["readings"]
        return readings if readings != before else None

    print(f"moved: readings {poll('the readings to change', 5, moved)}")
    expect_ok(post(server, f"/v1/bundle/{link_id}", {"command": "motionAbort"}), "abort")
    print(f"aborted: {bundle_status(server, link_id)['state']}")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv))
    except ExampleError as error:
        print(f"error: {error}", file=sys.stderr)
        sys.exit(1)
    except (KeyError, TypeError) as error:
        print(f"error: unexpected reply from the server ({error!r})", file=sys.stderr)
        sys.exit(1)
