// Shared by the browser tests: the real kinetra-server from an install tree on free loopback
// ports, a headless Chromium, screenshots. Runs in the test process; every wait is bounded.
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

import { chromium } from 'playwright-core';

const here = path.dirname(fileURLToPath(import.meta.url));
const repositoryRoot = path.resolve(here, '..', '..');

/** Resolves after `ms` milliseconds. */
export const delay = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

/**
 * Calls `probe` until it returns a truthy value or `timeoutMs` has passed; returns that value,
 * or throws naming `what` (with the last error or value) when time is up.
 */
export async function waitFor(what, probe, { timeoutMs = 10000, intervalMs = 100 } = {}) {
  const deadline = Date.now() + timeoutMs;
  for (;;) {
    let last;
    try {
      last = await probe();
      if (last) return last;
    } catch (error) {
      last = error;
    }
    if (Date.now() >= deadline) throw new Error(`timed out after ${timeoutMs} ms waiting for ${what} (last: ${last})`);
    await delay(intervalMs);
  }
}

// Listens on `port` on loopback (0: one the system hands out) and closes again: the port it
// got, free unless someone takes it in between; null when it was taken.
function tryPort(port) {
  return new Promise((resolve) => {
    const server = net.createServer();
    server.once('error', () => resolve(null));
    server.listen(port, '127.0.0.1', () => {
      const got = server.address().port;
      server.close(() => resolve(got));
    });
  });
}

// The WebSocket port is the HTTP port + 2, as with the defaults (32222 and 32224): the page
// finds it that way when the address carries only the HTTP port, as the server's own links do.
async function threeFreePorts() {
  for (let attempt = 0; attempt < 50; ++attempt) {
    const http = await tryPort(0);
    if (http > 65533 || !(await tryPort(http + 2))) continue;
    const web = await tryPort(0);
    if (web !== http && web !== http + 2) return { httpPort: http, webPort: web, wsPort: http + 2 };
  }
  throw new Error('no three free ports');
}

/** POSTs `body` as JSON to the server's HTTP API and returns the parsed reply (null if empty). */
export async function post(httpPort, urlPath, body = {}) {
  const init = { method: 'POST', body: JSON.stringify(body), signal: AbortSignal.timeout(5000) };
  const text = await (await fetch(`http://127.0.0.1:${httpPort}${urlPath}`, init)).text();
  return text ? JSON.parse(text) : null;
}

// Whether `url` answers with a success within a second (its body read, so the exchange ends).
const answers = (url) =>
  fetch(url, { signal: AbortSignal.timeout(1000) })
    .then(async (response) => (await response.arrayBuffer(), response.ok))
    .catch(() => false);

/**
 * Starts bin/kinetra-server --simulate from a private copy of the install tree given by
 * KINETRA_INSTALL, with a cfg/config.ini on three free loopback ports and its own TMPDIR (the
 * instance lock lives there). Waits until the web page and the HTTP API answer.
 * options.ports: { httpPort, webPort, wsPort } to use instead of free ones (a restart).
 * Returns { httpPort, wsPort, webPort, appUrl, root (the private tree), log(), stop() }.
 */
export async function startServer(options = {}) {
  const prefix = process.env.KINETRA_INSTALL;
  if (!prefix || !fs.existsSync(path.join(prefix, 'bin', 'kinetra-server'))) {
    throw new Error(`KINETRA_INSTALL (${prefix}) is no \`cmake --install\` prefix with bin/kinetra-server`);
  }
  const root = fs.mkdtempSync(path.join(os.tmpdir(), 'kinetra-browser-'));
  for (const folder of ['bin', 'www', 'res', 'firmware', 'cfg']) {
    const source = path.join(prefix, folder);
    if (fs.existsSync(source)) fs.cpSync(source, path.join(root, folder), { recursive: true });
  }
  const [bin, tmp, cfg] = ['bin', 'tmp', 'cfg'].map((folder) => path.join(root, folder));
  fs.mkdirSync(tmp);
  fs.mkdirSync(cfg, { recursive: true });

  const { httpPort, webPort, wsPort } = options.ports ?? (await threeFreePorts());
  const listener = (section, port) => `[${section}]\naddress = 127.0.0.1\nport = ${port}\n`;
  fs.writeFileSync(path.join(cfg, 'config.ini'), listener('httpserver', httpPort) + listener('webserver', webPort) + listener('websocket', wsPort));
  const server = spawnLogged(path.join(bin, 'kinetra-server'), ['--simulate'], { cwd: bin, env: { ...process.env, TMPDIR: tmp } });
  // Ends the server and removes its tree; resolves with how it ended, as spawnLogged's stop.
  const stop = async () => {
    const how = await server.stop();
    fs.rmSync(root, { recursive: true, force: true });
    return how;
  };

  const appUrl = `http://127.0.0.1:${webPort}/?port=${httpPort}&version=0.9.8`;
  const answering = async () => {
    if (server.ended()) throw new Error(`kinetra-server ended ${JSON.stringify(server.ended())}`);
    return (await answers(`http://127.0.0.1:${webPort}/`)) && (await answers(`http://127.0.0.1:${httpPort}/v1/device`));
  };
  try {
    await waitFor('the web page and the HTTP API', answering, { timeoutMs: 20000 });
  } catch (error) {
    await stop();
    throw new Error(`${error.message}\n--- server output ---\n${server.log()}`);
  }
  return { httpPort, wsPort, webPort, appUrl, root, log: server.log, stop };
}

/** A headless Chromium (the system's, or KINETRA_CHROMIUM), launched within 30 s. */
export async function launchBrowser() {
  const args = ['--disable-gpu', '--disable-dev-shm-usage'];
  // Chromium refuses to run its sandbox as root (CI containers).
  if (process.getuid && process.getuid() === 0) args.push('--no-sandbox');
  return chromium.launch({
    executablePath: process.env.KINETRA_CHROMIUM || '/usr/bin/chromium',
    headless: true,
    timeout: 30000,
    args,
  });
}

/**
 * A page of `browser` (1280 × 900 unless `options` say otherwise) whose uncaught errors go to
 * `errors`, for the test file to find empty at its end.
 */
export async function openPage(browser, errors, options = {}) {
  const page = await browser.newPage({ viewport: { width: 1280, height: 900 }, ...options });
  page.setDefaultTimeout(10000);
  page.on('pageerror', (error) => errors.push(error.message));
  return page;
}

/** Fills the page's real-time move form with `values` (duration, headPan, ...) and sends it. */
export async function moveFromForm(page, values) {
  const form = page.locator('[data-section="Real-time move"]');
  for (const [name, value] of Object.entries(values)) await form.locator(`input[name=rt-${name}]`).fill(String(value));
  await form.getByRole('button', { name: 'Move' }).click();
}

/** Saves the whole page as <name>.png in KINETRA_ARTIFACTS (or build/browser-artifacts). */
export async function screenshot(page, name) {
  const dir = process.env.KINETRA_ARTIFACTS || path.join(repositoryRoot, 'build', 'browser-artifacts');
  fs.mkdirSync(dir, { recursive: true });
  await page.screenshot({ path: path.join(dir, `${name}.png`), fullPage: true, timeout: 10000 });
}

/**
 * Spawns `file` with its output collected. Returns { log(), ended() (null while it runs),
 * stop(), signal(name) }: stop sends SIGTERM (after SIGCONT, should it be stopped), then SIGKILL
 * after 10 s, and resolves with how the process ended, { code, signal }, or null if it would
 * not end at all.
 */
function spawnLogged(file, args, options) {
  const child = spawn(file, args, { ...options, stdio: ['ignore', 'pipe', 'pipe'] });
  let output = '';
  for (const stream of [child.stdout, child.stderr]) stream.on('data', (chunk) => (output += chunk));
  let ended = null;
  const exited = new Promise((resolve) => child.once('exit', (code, signal) => resolve((ended = { code, signal }))));
  const within = (ms) => Promise.race([exited, delay(ms).then(() => null)]);
  const stop = async () => {
    if (!ended) ['SIGCONT', 'SIGTERM'].forEach((name) => child.kill(name));
    const how = await within(10000);
    if (how) return how;
    child.kill('SIGKILL');
    return within(5000);
  };
  return { log: () => output, ended: () => ended, stop, signal: (name) => ended || child.kill(name) };
}

/**
 * Runs bin/kinetra-sim of the server's tree with `args`, announced to the server (--server);
 * resolves once it has printed its terminal. Returns { log(), stop() (SIGTERM, bounded),
 * signal(name) }.
 */
export async function startSimulator(server, args = []) {
  const bin = path.join(server.root, 'bin');
  const sim = spawnLogged(path.join(bin, 'kinetra-sim'), [...args, '--server', `http://127.0.0.1:${server.httpPort}`], { cwd: bin });
  try {
    await waitFor('kinetra-sim to open its terminal', () => sim.log().includes('/dev/'), { timeoutMs: 10000, intervalMs: 50 });
  } catch (error) {
    await sim.stop();
    throw new Error(`${error.message}\n--- kinetra-sim output ---\n${sim.log()}`);
  }
  return sim;
}
