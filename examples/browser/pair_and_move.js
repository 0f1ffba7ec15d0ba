// kinetra SDK example over WebSocket, used by index.html: list the links, pair over the radio,
// read the status, move and abort. A classic script (pages opened from file:// may not load
// modules); it defines kinetraExample.pairAndMove, .abortMotion and .closeConnections.
//
// Each path of the server is its own WebSocket (ws://host:32224/v1/...) and the server takes one
// client per path at a time, so the example opens each path once, keeps it for the session and
// sends one request at a time on it (replies carry no id; they come back in order). A new
// connection per request would race the server's release of the previous one. Every wait is
// bounded.

// Target values of a short real-time move, per axis a bundle may support.
const MOVE_TARGETS = { headPan: 20.0, headTilt: 5.0, slide: 0.3, focus: 1000.0 };
const MOVE_SECONDS = 2.0;

// `target`, or zero when `reading` is already within half of the way there.
const awayFrom = (reading, target) =>
  typeof reading === "number" && Math.abs(reading - target) < Math.abs(target) / 2 ? 0 : target;
const REPLY_TIMEOUT_MS = 10000;

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// Open connections by URL: { socket: Promise<WebSocket>, last: Promise } (last = the request
// in flight, which the next one waits for).
const connections = new Map();

function connect(url) {
  return new Promise((resolve, reject) => {
    const socket = new WebSocket(url);
    const timer = setTimeout(() => {
      socket.close();
      reject(new Error(`cannot reach ${url} within ${REPLY_TIMEOUT_MS / 1000} s`));
    }, REPLY_TIMEOUT_MS);
    socket.onopen = () => {
      clearTimeout(timer);
      resolve(socket);
    };
    socket.onerror = () => {
      clearTimeout(timer);
      reject(new Error(`cannot reach ${url}`));
    };
  });
}

// Sends `body` on the open socket and resolves with the one reply; a silent or closed socket
// is dropped so that the next request connects afresh.
function exchange(url, socket, body) {
  return new Promise((resolve, reject) => {
    const drop = (error) => {
      clearTimeout(timer);
      connections.delete(url);
      socket.close();
      reject(error);
    };
    const timer = setTimeout(
      () => drop(new Error(`no reply from ${url} within ${REPLY_TIMEOUT_MS / 1000} s`)),
      REPLY_TIMEOUT_MS,
    );
    socket.onmessage = (event) => {
      clearTimeout(timer);
      try {
        resolve(JSON.parse(event.data));
      } catch (error) {
        reject(new Error(`no usable answer from ${url}: ${error.message}`));
      }
    };
    socket.onclose = () => drop(new Error(`${url} closed the connection`));
    socket.send(JSON.stringify(body));
  });
}

// Sends one JSON request to the service at `path` and resolves with its JSON reply.
function request(server, path, body) {
  const url = server + path;
  let connection = connections.get(url);
  if (connection === undefined) {
    connection = { socket: connect(url), last: Promise.resolve() };
    connections.set(url, connection);
  }
  const { socket } = connection;
  const reply = connection.last.then(async () => {
    let open;
    try {
      open = await socket;
    } catch (error) {
      connections.delete(url);
      throw error;
    }
    return exchange(url, open, body);
  });
  connection.last = reply.catch(() => {});
  return reply;
}

// Closes every connection the example opened.
function closeConnections() {
  for (const { socket } of connections.values()) {
    socket.then((open) => open.close(), () => {});
  }
  connections.clear();
}

async function ask(server, path, body, what) {
  const reply = await request(server, path, body);
  if (reply?.result !== "ok") {
    throw new Error(`${what} failed: ${reply?.result ?? JSON.stringify(reply)}`);
  }
  return reply;
}

// Calls ask() a few times a second until it returns something other than undefined.
async function poll(what, seconds, askOnce) {
  const deadline = Date.now() + seconds * 1000;
  for (;;) {
    const answer = await askOnce();
    if (answer !== undefined) {
      return answer;
    }
    if (Date.now() >= deadline) {
      throw new Error(`gave up after ${seconds} s waiting for ${what}`);
    }
    await sleep(200);
  }
}

async function findLink(server, linkId) {
  return poll(`link ${linkId ?? "(any)"} to be listed`, 10, async () => {
    const links = await ask(server, "/v1/device", { command: "linkStatus" }, "linkStatus");
    return links.data.find((link) => linkId === undefined || link.linkID === linkId);
  });
}

async function pairOverRadio(server, linkId, log) {
  const path = `/v1/link/${linkId}`;
  await ask(server, path, { command: "wirelessPairingScanStart" }, "scan start");
  const scanned = await poll("the radio scan to find devices", 15, async () => {
    const found = (await ask(server, path, { command: "wirelessPairingScanResults" }, "scan")).data;
    return found.length > 0 ? found : undefined;
  });
  const devices = scanned.slice(0, 4); // a bundle holds up to 4
  devices.forEach((device) => log(`  found ${device.type} (${device.setup}) at ${device.mac}`));
  await ask(
    server,
    path,
    {
      command: "wirelessPairingCreateBundle",
      deviceCount: devices.length,
      forcedMasterDevice: devices[0].type,
      macList: devices.map((device) => device.mac),
    },
    "create bundle",
  );
  await poll("the radio to report connectionOk", 20, async () => {
    const reply = await ask(server, path, { command: "wirelessPairingStatus" }, "status");
    const state = reply.data?.wirelessPairState;
    if (state === "connectionOk") {
      return true;
    }
    if (state === "problem") {
      throw new Error(`pairing failed: ${reply.data.lastPairError}`);
    }
    // Once paired the link answers link commands with a notice instead of a state.
    return (await findLink(server, linkId)).isPairingDone ? true : undefined;
  });
}

async function bundleStatus(server, linkId) {
  return (await ask(server, `/v1/bundle/${linkId}/status`, {}, "bundle status")).data ?? undefined;
}

// The whole session; resolves with the link id it used.
async function pairAndMove(serverAddress, wantedLinkId, log) {
  const server = serverAddress.replace(/\/+$/, "");
  const link = await findLink(server, wantedLinkId);
  const linkId = link.linkID;
  log(`link ${linkId}: ${link.linkType} on ${link.portName}`);
  if (link.isPairingDone) {
    log("already paired");
  } else {
    log("pairing over the radio");
    await pairOverRadio(server, linkId, log);
    log("paired");
  }
  const status = await poll("the bundle's first status", 10, () => bundleStatus(server, linkId));
  const before = JSON.stringify(status.readings);
  log(`status: ${status.state}, readings ${before}`);

  const axes = new Set(status.realTimeSupportedAxes.map((entry) => entry.axis));
  // An axis already near its target goes back to zero instead, so that every run moves the gear.
  const move = Object.fromEntries(
    Object.entries(MOVE_TARGETS)
      .filter(([axis]) => axes.has(axis))
      .map(([axis, target]) => [axis, awayFrom(status.readings?.[axis], target)]),
  );
  if (Object.keys(move).length === 0) {
    throw new Error(`the bundle has no axis this example moves (it has ${[...axes]})`);
  }
  const command = { command: "realTimeMoveFixedDuration", duration: MOVE_SECONDS, ...move };
  await ask(server, `/v1/bundle/${linkId}`, command, "move");
  const moved = await poll("the readings to change", 5, async () => {
    const readings = JSON.stringify((await bundleStatus(server, linkId))?.readings);
    return readings !== before ? readings : undefined;
  });
  log(`moved: readings ${moved}`);
  await abortMotion(server, linkId, log);
  return linkId;
}

async function abortMotion(serverAddress, wantedLinkId, log) {
  const server = serverAddress.replace(/\/+$/, "");
  const linkId = wantedLinkId ?? (await findLink(server, undefined)).linkID;
  await ask(server, `/v1/bundle/${linkId}`, { command: "motionAbort" }, "abort");
  log(`aborted: ${(await bundleStatus(server, linkId))?.state}`);
}

globalThis.kinetraExample = { pairAndMove, abortMotion, closeConnections };
