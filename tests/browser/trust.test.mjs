// Only the user's own pages drive the gear: a page served from another origin (a second local
// port) tries fetch() and a WebSocket to the API; both fail and the gear does not move, while
// the shipped application on its own origin still reaches the API. One server, one browser.
import assert from 'node:assert/strict';
import http from 'node:http';
import { after, before, describe, test } from 'node:test';

import { launchBrowser, post, startServer, waitFor } from './support.mjs';

const kLink = 'KSIM0001';

// The page another site would serve: it tries the API as such a page can, and reports.
function foreignPage(httpPort, wsPort) {
  return `<!doctype html><title>another site</title><script>
  window.outcome = (async () => {
    const body = JSON.stringify({ command: 'realTimeMoveFixedDuration', duration: 0.2, headPan: 40 });
    let fetched;
    try {
      // A "simple" request: sent without a preflight, so only the server can stop it.
      await fetch('http://127.0.0.1:${httpPort}/v1/bundle/${kLink}', { method: 'POST', body });
      fetched = 'readable';
    } catch (error) {
      fetched = 'failed';
    }
    const socket = await new Promise((resolve) => {
      const ws = new WebSocket('ws://127.0.0.1:${wsPort}/v1/bundle/${kLink}');
      ws.onopen = () => { ws.send(body); resolve('open'); };
      ws.onclose = () => resolve('refused');
    });
    return { fetched, socket };
  })();
  </script>`;
}

describe('trust boundary in the browser', { timeout: 120000 }, () => {
  let server;
  let browser;
  let other;

  before(async () => {
    server = await startServer();
    browser = await launchBrowser();
    other = http.createServer((request, response) => {
      response.writeHead(200, { 'Content-Type': 'text/html' });
      response.end(foreignPage(server.httpPort, server.wsPort));
    });
    await new Promise((resolve) => other.listen(0, '127.0.0.1', resolve));
    assert.deepEqual(await post(server.httpPort, `/v1/link/${kLink}`, { command: 'link1PairingConnect' }), { result: 'ok' });
    await waitFor('the bundle status', async () => (await post(server.httpPort, `/v1/bundle/${kLink}/status`))?.data?.readings);
  });

  after(async () => {
    await browser?.close();
    other?.close();
    await server?.stop();
  });

  const headPan = async () => (await post(server.httpPort, `/v1/bundle/${kLink}/status`)).data.readings.headPan;

  test('a page on another origin reaches nothing and the gear stays', async () => {
    const before = await headPan();
    const page = await browser.newPage();
    await page.goto(`http://127.0.0.1:${other.address().port}/`);
    const outcome = await page.evaluate(() => window.outcome);
    assert.deepEqual(outcome, { fetched: 'failed', socket: 'refused' });
    // Had either request got through, the 0.2 s move would show within this second.
    const moved = await waitFor('a move', async () => (await headPan()) !== before, { timeoutMs: 1500 }).catch(() => false);
    assert.equal(moved, false, 'the gear moved');
    assert.equal(await headPan(), before);
    await page.close();
  });

  test('the shipped application on its own origin still calls the API', async () => {
    const page = await browser.newPage();
    await page.goto(server.appUrl);
    const reply = await page.evaluate(async (httpPort) => {
      const response = await fetch(`http://127.0.0.1:${httpPort}/v1/device`, {
        method: 'POST',
        headers: { 'Content-Type': 'application/json' }, // preflighted: answered for our origin
        body: JSON.stringify({ command: 'linkStatus' }),
      });
      return response.json();
    }, server.httpPort);
    assert.equal(reply.result, 'ok');
    assert.ok(reply.data.some((link) => link.linkID === kLink));
    await page.close();
  });
});
