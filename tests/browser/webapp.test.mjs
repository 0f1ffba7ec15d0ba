// The browser application against the real server and its emulated adapter (a pan/tilt head on
// a slider): the link shows, pairs over the radio, reports live, jogs while a button is held and
// stops on release or blur, and aborts. Only the user's own pages drive the gear: a page from
// another origin reaches nothing. One server and one browser for the whole file.
import assert from 'node:assert/strict';
import http from 'node:http';
import { after, afterEach, before, describe, test } from 'node:test';

import { delay, launchBrowser, moveFromForm, openPage, post, screenshot, startServer, waitFor } from './support.mjs';

const kLink = 'KSIM0001';

describe('web application', { timeout: 120000 }, () => {
  let server;
  let browser;
  let page;
  const errors = [];
  const commandFrames = []; // joystickMove and others the page sent to /v1/bundle/<link> over /v2

  before(async () => {
    server = await startServer();
    browser = await launchBrowser();
    page = await openPage(browser, errors);
    page.on('websocket', (socket) => {
      if (!socket.url().endsWith('/v2')) return;
      socket.on('framesent', (frame) => {
        const sent = JSON.parse(frame.payload);
        if (sent.method === 'call' && sent.params?.path === `/v1/bundle/${kLink}`) {
          commandFrames.push({ at: Date.now(), message: sent.params.request });
        }
      });
    });
  });

  // A test that fails mid-hold must not leave the next one jogging.
  afterEach(async () => {
    await page?.mouse.up().catch(() => {});
    await page?.keyboard.up(' ').catch(() => {});
  });

  after(async () => {
    await browser?.close();
    const ended = await server?.stop();
    assert.deepEqual(ended, { code: 0, signal: null }, 'the server ends cleanly on SIGTERM');
    assert.deepEqual(errors, [], 'the pages threw no error');
  });

  /** The page's reading of `axis` (NaN when it shows none) and the gear's clock (ms) of the status it came from. */
  const sample = (axis) =>
    page.evaluate((key) => {
      const value = document.querySelector(`.reading[data-axis=${key}] .reading-value`)?.textContent;
      return { value: parseFloat(value), time: Number(document.getElementById('status')?.deviceTime) };
    }, axis);
  const reading = async (axis) => (await sample(axis)).value;
  /** The server's own view of the axis, to check the page against. */
  const serverReading = async (axis) => (await post(server.httpPort, `/v1/bundle/${kLink}/status`)).data.readings[axis];

  /**
   * Waits until the page's reading of `axis` has not changed over 600 ms of the gear's own clock
   * (so a page that stopped updating never looks settled); returns it.
   */
  const settled = async (axis) => {
    let { value: last, time: since } = await sample(axis);
    return waitFor(`${axis} to settle`, async () => {
      const now = await sample(axis);
      if (Math.abs(now.value - last) > 0.001) [last, since] = [now.value, now.time];
      return now.time - since >= 600 && now;
    });
  };
  /** A settled reading of `axis` that then stays for a second more (`message`: after what). */
  const halted = async (axis, message) => {
    const still = await settled(axis);
    const later = await waitFor('a second of status', async () => {
      const now = await sample(axis);
      return now.time - still.time >= 1000 && now;
    });
    assert.equal(later.value, still.value, `the reading stays ${message}`);
    return still.value;
  };

  const untilReads = (axis, value) =>
    waitFor(`${axis} to reach ${value} on the page`, async () => (await reading(axis)) === value, { timeoutMs: 5000 });
  const linkCard = (state) => page.locator(`.link-card[data-link=${kLink}][data-state=${state}]`);
  /** Waits for the link to pair and its status to stream. */
  const paired = async () => {
    await linkCard('paired').waitFor({ timeout: 15000 });
    await page.locator('#status[data-connection=open] .reading[data-axis=headPan]').waitFor();
  };
  /** Presses the mouse on a jog button (released by the caller or afterEach). */
  const holdJog = async (axis) => {
    const button = page.locator(`button[data-jog=${axis}][data-direction=plus]`);
    await button.scrollIntoViewIfNeeded(); // the forms filled before may have scrolled it away
    const box = await button.boundingBox();
    await page.mouse.move(box.x + box.width / 2, box.y + box.height / 2);
    await page.mouse.down();
  };

  const lastJoystick = () => [...commandFrames].reverse().find((f) => f.message.command === 'joystickMove');

  test('the link appears unpaired and pairs over the radio', async () => {
    await page.goto(server.appUrl);
    const card = page.locator(`.link-card[data-link=${kLink}]`);
    await card.waitFor();
    assert.equal(await card.getAttribute('data-state'), 'unpaired');
    assert.match(await card.textContent(), /Not paired/);
    assert.match(await page.locator('#server-state').textContent(), new RegExp(`127\\.0\\.0\\.1:${server.httpPort}`));
    await screenshot(page, 'webapp-links');

    await page.getByRole('button', { name: 'Scan for devices' }).click();
    const entries = page.locator('.scan-entry');
    await waitFor('two devices in the scan', async () => (await entries.count()) === 2);
    await page.locator('.scan-entry[data-mac="24:6F:28:1A:00:02"] input[type=checkbox]').check();
    await page.locator('.scan-entry[data-mac="24:6F:28:1A:00:01"] input[type=radio]').check();
    await screenshot(page, 'webapp-pairing-scan');
    assert.equal(await page.getByRole('button', { name: 'Attach to its group' }).isDisabled(), true);
    await page.getByRole('button', { name: 'Create group' }).click();

    await page.locator('.pair-progress').filter({ hasText: /connecting|connectionOk/ }).waitFor();
    await paired();
    const { data } = await post(server.httpPort, `/v1/bundle/${kLink}/status`);
    assert.deepEqual(data.deviceInfo.map((d) => d.type), ['turretAlpha2', 'glideTrack'], 'the master chosen on the page leads the group');
    assert.match(await page.locator('.devices').textContent(), /turretAlpha2\s*Battery 85 %/);
    await screenshot(page, 'webapp-paired-status');
  });

  test('a page on another origin reaches nothing and the gear stays; our own origin may call', async () => {
    // The page another site would serve (a second local port): it tries the API as such a page
    // can. Its fetch is "simple", sent without a preflight, so only the server can stop it.
    const foreign = `<!doctype html><title>another site</title><script>
    window.outcome = (async () => {
      const body = JSON.stringify({ command: 'realTimeMoveFixedDuration', duration: 0.2, headPan: 40 });
      const fetched = await fetch('http://127.0.0.1:${server.httpPort}/v1/bundle/${kLink}', { method: 'POST', body })
        .then(() => 'readable', () => 'failed');
      const socket = await new Promise((resolve) => {
        const ws = new WebSocket('ws://127.0.0.1:${server.wsPort}/v1/bundle/${kLink}');
        ws.onopen = () => { ws.send(body); resolve('open'); };
        ws.onclose = () => resolve('refused');
      });
      return { fetched, socket };
    })();</script>`;
    const other = http.createServer((request, response) => response.writeHead(200, { 'Content-Type': 'text/html' }).end(foreign));
    await new Promise((resolve) => other.listen(0, '127.0.0.1', resolve));
    const before = await serverReading('headPan');
    const visitor = await browser.newPage();
    try {
      await visitor.goto(`http://127.0.0.1:${other.address().port}/`);
      assert.deepEqual(await visitor.evaluate(() => window.outcome), { fetched: 'failed', socket: 'refused' });
    } finally {
      await visitor.close();
      other.close();
    }
    // Had either request got through, the 0.2 s move would show within this second.
    const moved = await waitFor('a move', async () => (await serverReading('headPan')) !== before, { timeoutMs: 1500 }).catch(() => false);
    assert.equal(moved, false, 'the gear moved');

    // A preflighted request from the shipped application's origin is answered.
    const reply = await page.evaluate(async (url) => {
      const init = { method: 'POST', headers: { 'Content-Type': 'application/json' }, body: '{"command":"linkStatus"}' };
      return (await fetch(url, init)).json();
    }, `http://127.0.0.1:${server.httpPort}/v1/device`);
    assert.equal(reply.result, 'ok');
    assert.ok(reply.data.some((link) => link.linkID === kLink));
  });

  test('holding a jog button, with the mouse or with Space, moves the axis and letting go stops it', async () => {
    const { value: start } = await settled('headPan');
    await holdJog('headPan');
    const pressedAt = Date.now();
    await waitFor('pan to move while held', async () => (await reading('headPan')) > start + 2, { timeoutMs: 5000 });
    // Held longer than the gear keeps an unrefreshed stick: it must still be moving.
    await delay(Math.max(0, pressedAt + 1200 - Date.now()));
    const midway = await reading('headPan');
    await waitFor('pan still moving after more than a second of holding', async () => (await reading('headPan')) > midway + 1, { timeoutMs: 3000 });
    assert.equal(await page.locator('button.jog.held').getAttribute('data-jog'), 'headPan', 'the held button shows it');
    await screenshot(page, 'webapp-jogging');
    const jogFrames = commandFrames.filter((f) => f.at >= pressedAt && f.message.command === 'joystickMove');
    assert.ok(jogFrames.length >= 5, `joystickMove repeated while held (${jogFrames.length} sent)`);
    assert.deepEqual(jogFrames[0].message, { command: 'joystickMove', headPan: 0.5, headTilt: 0 });

    const releasedAt = Date.now();
    await page.mouse.up();
    await waitFor('a zero joystickMove after release', async () => lastJoystick()?.at >= releasedAt);
    assert.deepEqual(lastJoystick().message, { command: 'joystickMove', headPan: 0, headTilt: 0 });
    const sentBeforeStop = commandFrames.length;
    const stopped = await halted('headPan', 'after release');
    // The page rounds pan to hundredths.
    assert.ok(Math.abs((await serverReading('headPan')) - stopped) <= 0.005, 'the server agrees');
    const afterStop = commandFrames.slice(sentBeforeStop).filter((f) => f.message.command === 'joystickMove');
    assert.deepEqual(afterStop, [], 'no joystickMove follows the stop');

    // The keyboard jogs while Space is held.
    const { value: slide } = await settled('slide');
    await page.locator('button[data-jog=slide][data-direction=plus]').focus();
    const keyAt = Date.now();
    await page.keyboard.down(' ');
    await waitFor('slide to move while Space is held', async () => (await reading('slide')) > slide + 0.05, { timeoutMs: 5000 });
    await page.keyboard.up(' ');
    await waitFor('a zero joystickMove after the key is let go', async () => lastJoystick()?.at > keyAt && lastJoystick().message.slide === 0);
    assert.deepEqual(lastJoystick().message, { command: 'joystickMove', slide: 0 });
    await halted('slide', 'after the key is let go');
  });

  test('the page losing focus or being hidden stops a jog still held', async () => {
    for (const loseFocus of [
      () => window.dispatchEvent(new Event('blur')),
      () => {
        Object.defineProperty(document, 'visibilityState', { value: 'hidden', configurable: true });
        document.dispatchEvent(new Event('visibilitychange'));
        delete document.visibilityState;
      },
    ]) {
      const { value: start } = await settled('headTilt');
      await holdJog('headTilt');
      await waitFor('tilt to move while held', async () => (await reading('headTilt')) > start + 1, { timeoutMs: 5000 });
      const lostAt = Date.now();
      await page.evaluate(loseFocus);
      await waitFor('a zero joystickMove on losing the page', async () => lastJoystick()?.at >= lostAt);
      assert.deepEqual(lastJoystick().message, { command: 'joystickMove', headPan: 0, headTilt: 0 });
      assert.equal(await page.locator('button.jog.held').count(), 0, 'no button shows as held');
      await halted('headTilt', 'while the button is still down');
      await page.mouse.up();
    }
    await screenshot(page, 'webapp-jog-stopped-on-blur');
  });

  test('abort stops a move, from the button and from Escape', async () => {
    for (const abort of [() => page.locator('#abort').click(), () => page.keyboard.press('Escape')]) {
      const { value: start } = await settled('headPan');
      await moveFromForm(page, { duration: 20, headPan: start + 90 });
      await waitFor('the long move to start', async () => (await reading('headPan')) > start + 0.5, { timeoutMs: 5000 });
      await page.locator('.activity[data-state=realTimeMove]').waitFor();
      await page.evaluate(() => document.getElementById('notices').replaceChildren());
      await abort();
      await page.locator('.notice').filter({ hasText: `Motion aborted on ${kLink}` }).first().waitFor();
      const stopped = await halted('headPan', 'after the abort');
      assert.ok(stopped < start + 45, `stopped well before the target (${stopped})`);
      await page.locator('.activity[data-state=idle]').waitFor();
    }
    await screenshot(page, 'webapp-aborted');
  });

  test('a move from the form shows live; a key pose stored here is read back and moved to; limits and refusals are shown', async () => {
    const moveTo = async (headPan, slide) => {
      await moveFromForm(page, { duration: 0.3, headPan, headTilt: 4, slide });
      await untilReads('headPan', headPan);
    };
    await moveTo(20, 0.5);
    assert.deepEqual([await reading('headTilt'), await reading('slide'), await serverReading('headPan')], [4, 0.5, 20]);
    await screenshot(page, 'webapp-status-after-move');
    await page.locator('select[name=pose-index]').selectOption('2');
    await page.locator('button[data-action=pose-store]').click();
    await page.locator('.slot.filled', { hasText: '2' }).waitFor();
    await page.locator('button[data-action=pose-read]').click();
    await page.locator('.read-out').filter({ hasText: '"index": 2' }).waitFor();
    assert.match(await page.locator('.read-out').textContent(), /"headPan": 20,/);

    await moveTo(-10, 0.25);
    await page.locator('input[name=pose-duration]').fill('0.5');
    await page.getByRole('button', { name: 'Go in duration' }).click();
    await untilReads('headPan', 20);
    assert.equal(await reading('slide'), 0.5);

    await page.locator('button[data-action=pose-delete]').click();
    await waitFor('slot 2 emptied', async () => (await page.locator('.slot.filled', { hasText: '2' }).count()) === 0);

    // The limits, read and shown per axis.
    await page.getByRole('button', { name: 'Read limits' }).click();
    const pan = page.locator('.limits tr[data-axis=pan]');
    await pan.waitFor();
    assert.deepEqual(await pan.locator('td').allTextContents(), ['pan', '-36000', '36000', '0.00061']);
    await page.locator('.limits tr[data-axis=slide]').waitFor();

    // A reply that is not ok is shown.
    await page.locator('select[name=pose-index]').selectOption('5');
    await page.locator('button[data-action=pose-read]').click();
    // An empty slot answers index -1: the bundle says the read index differs.
    const notice = page.locator('.notice.error').first();
    await notice.waitFor();
    assert.match(await notice.textContent(), /keyposeReadNumericValues: /);
  });

  test('the server going away shows offline, and the page recovers when it is back', async () => {
    const { httpPort, webPort, wsPort } = server;
    await server.stop();
    await page.locator('.offline-banner').waitFor({ state: 'visible', timeout: 10000 });
    assert.match(await page.locator('#server-state').textContent(), /unreachable/);
    await page.locator('#status[data-connection=closed]').waitFor();
    await screenshot(page, 'webapp-offline');
    server = await startServer({ ports: { httpPort, webPort, wsPort } });
    await page.locator('.offline-banner').waitFor({ state: 'hidden', timeout: 15000 });
    // A fresh server has a fresh, unpaired emulated adapter: the page offers pairing again.
    await linkCard('unpaired').waitFor({ timeout: 15000 });
    await page.getByRole('button', { name: 'Scan for devices' }).waitFor();
  });

  test('pairing over the CAN bus, unpairing, pairing over the RJ45 cable, and attaching to an existing radio group', async () => {
    await page.locator('.tab[data-medium=canbus]').click();
    await page.getByRole('button', { name: 'Scan the CAN bus' }).click();
    await page.locator('.scan-entry').filter({ hasText: 'turretAlpha2' }).waitFor();
    await page.getByRole('button', { name: 'Connect' }).click();
    await paired();
    assert.match(await page.locator('.link-title').textContent(), /paired \(canbus\)/);

    await page.locator('button[data-action=disconnect]').click();
    await linkCard('unpaired').waitFor();
    await page.locator('.tab[data-medium=rj45]').click();
    await page.getByRole('button', { name: 'Connect' }).click();
    await paired();
    assert.match(await page.locator('.link-title').textContent(), /paired \(rj45\)/);
    await screenshot(page, 'webapp-paired-rj45');

    // Attaching to an existing radio group pairs every device of the group.
    await page.locator('button[data-action=disconnect]').click();
    await linkCard('unpaired').waitFor();
    await page.getByRole('button', { name: 'Scan for devices' }).click();
    await page.locator('.scan-entry[data-mac="24:6F:28:1A:00:02"] input[type=checkbox]').check();
    assert.equal(await page.getByRole('button', { name: 'Create group' }).isDisabled(), false);
    await page.getByRole('button', { name: 'Attach to its group' }).click();
    await linkCard('paired').waitFor({ timeout: 15000 });
    await page.locator('#status[data-connection=open] .devices li').nth(1).waitFor();
    assert.equal(await page.locator('.devices li').count(), 2);
  });
});
