#!/usr/bin/env node
// kinetra SDK example: list the links, pair a link adapter's devices over the radio, read the
// bundle's status, move it and stop it. Node.js 18 or newer (global fetch), no packages.
//
//   node pair_and_move.mjs [SERVER [LINK_ID]]
//
// SERVER defaults to http://127.0.0.1:32222; LINK_ID to the first link the server lists. Every
// wait is bounded; on any failure the script says what went wrong and exits with status 1.

// Target values of a short real-time move, per axis a bundle may support.
const MOVE_TARGETS = { headPan: 20.0, headTilt: 5.0, slide: 0.3, focus: 1000.0 };
const MOVE_SECONDS = 2.0;

// `target`, or zero when `reading` is already within half of the way there.
const awayFrom = (reading, target) =>
  typeof reading === "number" && Math.abs(reading - target) < Math.abs(target) / 2 ? 0 : target;

class ExampleError extends Error {}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// Sends one JSON request to the service at `path` and returns its JSON reply.
async function post(server, path, body) {
  let response;
  try {
    response = await fetch(server + path, {
      method: "POST",
      headers: { "Content-Type": "application/json" },
      body: JSON.stringify(body),
      signal: AbortSignal.timeout(10000),
    });
  } catch (error) {
    const cause = error.cause?.code ?? error.cause?.errors?.[0]?.code ?? error.cause?.message;
    throw new ExampleError(`cannot reach ${server}${path}: ${cause ?? error.message}`);
  }
  try {
    return JSON.parse(await response.text());
  } catch (error) {
    throw new ExampleError(`no usable answer from ${server}${path}: ${error.message}`);
  }
}

function expectOk(reply, what) {
  if (reply?.result !== "ok") {
    throw new ExampleError(`${what} failed: ${reply?.result ?? JSON.stringify(reply)}`);
  }
  return reply;
}

// Calls ask() a few times a second until it returns something other than undefined.
async function poll(what, seconds, ask) {
  const deadline = Date.now() + seconds * 1000;
  for (;;) {
    const answer = await ask();
    if (answer !== undefined) {
      return answer;
    }
    if (Date.now() >= deadline) {
      throw new ExampleError(`gave up after ${seconds} s waiting for ${what}`);
    }
    await sleep(200);
  }
}

// The link record, waiting until the server lists it (a link is listed once known).
async function findLink(server, linkId) {
  return poll(`link ${linkId ?? "(any)"} to be listed`, 10, async () => {
    const links = expectOk(await post(server, "/v1/device", { command: "linkStatus" }), "linkStatus");
    return links.data.find((link) => linkId === undefined || link.linkID === linkId);
  });
}

async function pairOverRadio(server, linkId) {
  const linkPath = `/v1/link/${linkId}`;
  const ask = async (command, what) => expectOk(await post(server, linkPath, { command }), what);
  await ask("wirelessPairingScanStart", "scan start");
  const scanned = await poll("the radio scan to find devices", 15, async () => {
    const found = (await ask("wirelessPairingScanResults", "scan")).data;
    return found.length > 0 ? found : undefined;
  });
  const devices = scanned.slice(0, 4); // a bundle holds up to 4
  for (const device of devices) {
    console.log(`  found ${device.type} (${device.setup}) at ${device.mac}`);
  }
  expectOk(
    await post(server, linkPath, {
      command: "wirelessPairingCreateBundle",
      deviceCount: devices.length,
      forcedMasterDevice: devices[0].type,
      macList: devices.map((device) => device.mac),
    }),
    "create bundle",
  );
  await poll("the radio to report connectionOk", 20, async () => {
    const reply = await ask("wirelessPairingStatus", "status");
    const state = reply.data?.wirelessPairState;
    if (state === "connectionOk") {
      return true;
    }
    if (state === "problem") {
      throw new ExampleError(`pairing failed: ${reply.data.lastPairError}`);
    }
    // Once paired the link answers link commands with a notice instead of a state.
    return (await findLink(server, linkId)).isPairingDone ? true : undefined;
  });
}

async function bundleStatus(server, linkId) {
  const reply = expectOk(await post(server, `/v1/bundle/${linkId}/status`, {}), "bundle status");
  return reply.data ?? undefined;
}

async function main(argv) {
  const server = (argv[0] ?? "http://127.0.0.1:32222").replace(/\/+$/, "");
  const link = await findLink(server, argv[1]);
  const linkId = link.linkID;
  console.log(`link ${linkId}: ${link.linkType} on ${link.portName}`);
  if (link.isPairingDone) {
    console.log("already paired");
  } else {
    console.log("pairing over the radio");
    await pairOverRadio(server, linkId);
    console.log("paired");
  }

  const status = await poll("the bundle's first status", 10, () => bundleStatus(server, linkId));
  const before = JSON.stringify(status.readings);
  console.log(`status: ${status.state}, readings ${before}`);

  const axes = new Set(status.realTimeSupportedAxes.map((entry) => entry.axis));
  // An axis already near its target goes back to zero instead, so that every run moves the gear.
  const move = Object.fromEntries(
    Object.entries(MOVE_TARGETS)
      .filter(([axis]) => axes.has(axis))
      .map(([axis, target]) => [axis, awayFrom(status.readings?.[axis], target)]),
  );
  if (Object.keys(move).length === 0) {
    throw new ExampleError(`the bundle has no axis this example moves (it has ${[...axes]})`);
  }
  const command = { command: "realTimeMoveFixedDuration", duration: MOVE_SECONDS, ...move };
  expectOk(await post(server, `/v1/bundle/${linkId}`, command), "move");
  const moved = await poll("the readings to change", 5, async () => {
    const readings = JSON.stringify((await bundleStatus(server, linkId))?.readings);
    return readings !== before ? readings : undefined;
  });
  console.log(`moved: readings ${moved}`);
  expectOk(await post(server, `/v1/bundle/${linkId}`, { command: "motionAbort" }), "abort");
  console.log(`aborted: ${(await bundleStatus(server, linkId))?.state}`);
}

main(process.argv.slice(2)).catch((error) => {
  if (error instanceof ExampleError) {
    console.error(`error: ${error.message}`);
  } else {
    console.error(`error: unexpected reply from the server (${error})`);
  }
  process.exit(1);
});
