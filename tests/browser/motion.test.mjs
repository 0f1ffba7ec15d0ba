// The motion views against the real server and its emulated gear: the plot's own data during a
// move, the picture following every status with its ghost and key poses, the health line of a
// link whose emulator is stopped (SIGSTOP), mangled statuses, and the page's cost with four links
// streaming (perf-motion.json beside the screenshots). One server and browser for the file.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';

import { delay, launchBrowser, moveFromForm, openPage, post, screenshot, startServer, startSimulator, waitFor } from './support.mjs';

const kLink = 'KSIM0001';
const kSoakSeconds = Number(process.env.KINETRA_SOAK_SECONDS ?? 300);

// In the page, before its scripts: each status notification's arrival and headPan as the socket
// saw them (the last ten) and their count; two searches, not a second parse, to cost little.
function watchStatuses() {
  window.statusLog = {};
  const Native = window.WebSocket;
  window.WebSocket = class extends Native {
    set onmessage(handler) {
      super.onmessage = (event) => {
        const text = typeof event.data === 'string' ? event.data : '';
        const link = text.startsWith('{"jsonrpc":"2.0","method":"status"') && /"linkID":"([^"]*)"/.exec(text);
        if (link && text.includes('"data":{')) {
          const [log, pan] = [(window.statusLog[link[1]] ??= { count: 0, recent: [] }), /"headPan":(-?[0-9.e+-]+)/.exec(text)];
          Object.assign(log, { at: performance.now(), count: log.count + 1 });
          log.recent = [...log.recent.slice(-9), { at: log.at, pan: pan ? Number(pan[1]) : undefined }];
        }
        handler(event);
      };
    }
  };
}

describe('motion: plot, picture and link health', { timeout: kSoakSeconds * 1000 + 600000 }, () => {
  let server;
  let browser;
  let page;
  const errors = [];
  const simulators = [];

  const pairByCable = async (linkID) => {
    await waitFor(`${linkID} listed`, async () => (await post(server.httpPort, '/v1/device', { command: 'linkStatus' })).data.some((l) => l.linkID === linkID));
    assert.deepEqual(await post(server.httpPort, `/v1/link/${linkID}`, { command: 'link1PairingConnect' }), { result: 'ok' });
  };
  // A page that also counts console errors (but a missing favicon) and logs the statuses it gets.
  const newPage = async () => {
    const opened = await openPage(browser, errors, { viewport: { width: 1400, height: 1000 } });
    opened.on('console', (message) => message.type() === 'error' && !message.location().url.endsWith('/favicon.ico') && errors.push(message.text()));
    await opened.addInitScript(watchStatuses);
    return opened;
  };
  const chartData = (on = page) => on.evaluate(() => document.querySelector('#plot .plot').chart.data);
  const idle = () => page.locator('.activity[data-state=idle]').waitFor();
  const panel = (axis) => page.locator(`.pose-panel[data-axis=${axis}]`);

  before(async () => {
    server = await startServer();
    await pairByCable(kLink);
    browser = await launchBrowser();
    page = await newPage();
    await page.goto(server.appUrl);
    await page.locator('#plot .plot .uplot').waitFor({ timeout: 15000 });
  });

  after(async () => {
    await browser?.close();
    for (const sim of simulators) await sim.stop();
    await server?.stop();
    assert.deepEqual(errors, [], 'the pages logged no error');
  });

  test('the plot takes every status of a move, marks its start and planned end, pauses and reads at the cursor', async () => {
    await moveFromForm(page, { duration: 2, headPan: 30, headTilt: 5, slide: 0.4 });
    const start = page.locator('.move-mark.start:not([hidden])');
    await start.waitFor();
    const end = Number(await page.locator('.move-mark.end').first().getAttribute('data-at'));
    assert.ok(Math.abs(end - Number(await start.getAttribute('data-at')) - 2) < 1e-6, 'planned end 2 s after the start');
    await screenshot(page, 'motion-plot-move');
    await idle();
    const [times, pans, , slides] = await chartData();
    const between = pans.filter((pan) => pan > 0.5 && pan < 29.5);
    assert.ok(between.length >= 8, `points on the way to 30° (${between.length})`);
    assert.deepEqual([pans.at(-1), slides.at(-1)], [30, 0.4]);
    assert.ok(times.every((t, i) => i === 0 || t > times[i - 1]) && times.at(-1) - times[0] <= 32, 'rising times, no more than the window');

    // The cursor is stepped 12 points back from the last: let the plot hold that many at rest first.
    await waitFor('13 points at rest', async () => (await chartData())[1].slice(-13).every((pan) => pan === 30));
    await page.getByRole('button', { name: 'Pause' }).click();
    const frozen = (await chartData())[0].length;
    const seen = await page.evaluate((link) => window.statusLog[link].count, kLink);
    await waitFor('more statuses', () => page.evaluate(([link, n]) => window.statusLog[link].count > n + 10, [kLink, seen]));
    assert.equal((await chartData())[0].length, frozen, 'a paused plot keeps its points');
    await page.locator('#plot .plot').focus();
    for (let i = 0; i < 12; ++i) await page.keyboard.press('ArrowLeft');
    assert.equal(await page.evaluate(() => document.querySelector('#plot .plot').chart.cursor.idx), frozen - 1 - 12, 'the arrows step the time cursor');
    assert.equal(await page.evaluate(() => document.querySelector('#plot .plot').chart.ctx.getContextAttributes().desynchronized), true, 'the plot draws on a desynchronized canvas');
    assert.match(await page.locator('#plot .plot-legend .plot-series').nth(1).textContent(), /Pan.*30\.00°/);
    await screenshot(page, 'motion-plot-paused-cursor');
    await page.getByRole('button', { name: 'Resume' }).click();
    await waitFor('the plot to take points again', async () => (await chartData())[0].length !== frozen);
  });

  test('the pan dial follows headPan within one status, easing unless motion is to be reduced; the ghost shows a real-time target until the move ends', async () => {
    await moveFromForm(page, { duration: 6, headPan: -40, headTilt: 12, slide: 0.1 });
    const ghost = panel('headPan').locator('.ghost');
    await waitFor('the ghost', async () => (await ghost.getAttribute('visibility')) === 'visible');
    assert.equal(await ghost.getAttribute('data-angle'), '-40');
    assert.equal(await panel('headTilt').locator('.ghost').getAttribute('data-angle'), '12');
    await screenshot(page, 'motion-ghost');
    // In the page, just after each frame: the dial's angle and the headPan of the last two
    // statuses that had arrived by then, until the move ends. A status is drawn at the end of
    // the task that brought it, or in the next frame when it follows the last pass within a frame.
    const samples = await page.evaluate((link) => new Promise((resolve) => {
      const taken = [];
      const frame = () => {
        setTimeout(() => {
          const pans = window.statusLog[link].recent.slice(-2).map((status) => status.pan);
          taken.push({ angle: Number(document.querySelector('.pose-panel[data-axis=headPan] .needle').dataset.angle), pans });
          if (document.querySelector('.activity[data-state=realTimeMove]') && taken.length < 2000) requestAnimationFrame(frame);
          else resolve(taken);
        }, 0);
      };
      requestAnimationFrame(frame);
    }), kLink);
    const wrong = samples.filter(({ angle, pans }) => !pans.includes(angle));
    assert.deepEqual(wrong.slice(0, 3), [], `the dial showed none of the last two statuses ${wrong.length} times`);
    assert.ok(new Set(samples.map((s) => s.angle)).size >= 5, 'the dial moved with the statuses');
    // It eases between statuses, but not for a user who asks for reduced motion.
    const easing = () => panel('headPan').locator('.needle').evaluate((node) => getComputedStyle(node).transitionDuration);
    assert.notEqual(await easing(), '0s');
    await page.emulateMedia({ reducedMotion: 'reduce' });
    assert.equal(await easing(), '0s');
    await page.emulateMedia({ reducedMotion: null });
    await idle();
    await waitFor('the ghost to go', async () => (await ghost.getAttribute('visibility')) === 'hidden');
  });

  test('stored key poses show at their values, read again when the page opens; deleted ones go', async () => {
    await page.locator('select[name=pose-index]').selectOption('3');
    await page.locator('button[data-action=pose-store]').click();
    const mark = panel('headPan').locator('.pose-mark[data-slot="3"]');
    await mark.waitFor();
    // At -40° on the dial, 10 beyond its rim.
    const [x, y] = (await mark.getAttribute('transform')).match(/-?[\d.]+/g).map(Number);
    assert.ok(Math.abs(x - 68 * Math.sin((-40 * Math.PI) / 180)) < 0.2 && Math.abs(y + 68 * Math.cos((-40 * Math.PI) / 180)) < 0.2, `${x}, ${y}`);
    await post(server.httpPort, `/v1/bundle/${kLink}`, { command: 'keyposeStoreWithNumericData', index: 1, headPan: 90, headTilt: 0, slide: 0.5 });
    await page.reload();
    await panel('slide').locator('.pose-mark[data-slot="1"]').waitFor();
    await panel('headPan').locator('.pose-mark[data-slot="3"]').waitFor();
    await page.locator('select[name=pose-index]').selectOption('3');
    await page.locator('button[data-action=pose-delete]').click();
    await panel('headPan').locator('.pose-mark[data-slot="3"]').waitFor({ state: 'detached' });
    // Key-pose moves aim at a stored pose: its values are the ghost.
    await page.locator('select[name=pose-index]').selectOption('1');
    await page.getByRole('button', { name: 'Go in duration' }).click();
    await waitFor('the key-pose ghost', async () => (await panel('headPan').locator('.ghost').getAttribute('data-angle')) === '90' && (await panel('headPan').locator('.ghost').getAttribute('visibility')) === 'visible');
    await screenshot(page, 'motion-keypose-ghost');
    await idle();
  });

  test('a link whose emulator stops turns red within a second, and reads fresh again when it goes on', async () => {
    const sim = await startSimulator(server, ['--link-id', 'KSIMQ002']);
    simulators.push(sim);
    await pairByCable('KSIMQ002');
    const line = (level = '') => page.locator(`.link-card[data-link=KSIMQ002] .health${level && `[data-health=${level}]`}`);
    await line('ok').waitFor({ timeout: 15000 });
    await page.evaluate(() => {
      const node = document.querySelector('.link-card[data-link=KSIMQ002] .health');
      new MutationObserver(() => node.dataset.health === 'red' && (window.redAt ??= performance.now())).observe(node, { attributes: true });
    });
    sim.signal('SIGSTOP');
    await line('red').waitFor();
    const { redAt, lastStatus } = await page.evaluate(() => ({ redAt: window.redAt, lastStatus: window.statusLog.KSIMQ002.at }));
    assert.ok(redAt - lastStatus <= 1000 + 50, `red ${Math.round(redAt - lastStatus)} ms after the last status`);
    await line('red').filter({ hasText: 'no status for' }).waitFor(); // from a second on
    assert.equal(await page.locator(`.link-card[data-link=${kLink}] .health`).getAttribute('data-health'), 'ok', 'the other link stays healthy');
    await page.locator('.link-card[data-link=KSIMQ002] .link-open').click();
    await page.locator('.health.detailed[data-health=red]').waitFor();
    await screenshot(page, 'motion-health-red');
    sim.signal('SIGCONT');
    // Fresh statuses again; the level may stay amber or red a while for the time-outs and the
    // round trips the freeze left in the link's statistics (a minute's, the last 1,000).
    await line().filter({ hasText: 'last < 250 ms' }).waitFor({ timeout: 15000 });
    await page.locator(`.link-card[data-link=${kLink}] .link-open`).click();
  });

  test('statuses with missing, wrong or absurd values are drawn as far as they go', async () => {
    const mangled = await newPage();
    let n = 0;
    const mangle = [(d) => delete d.readings.headPan, (d) => Object.assign(d.readings, { slide: 1e300, headTilt: 'x' }), (d) => (d.readings = null)];
    mangle.push((d) => Object.assign(d, { deviceInfo: {}, supportedAxes: [null, 7], keyposeSlotsFilled: 'yes', timestampEpoch: -5 }), (d) => (d.readings = [1, 2]));
    await mangled.routeWebSocket(/\/v2$/, (socket) => {
      const upstream = socket.connectToServer();
      upstream.onMessage((text) => {
        const message = JSON.parse(text);
        if (message.method !== 'status' || !message.params?.data) return socket.send(text);
        if (++n % 6 === 0) return socket.send('{"method":"status","params":'); // not JSON at all
        mangle[n % mangle.length](message.params.data);
        socket.send(JSON.stringify(message));
      });
    });
    await mangled.goto(server.appUrl);
    await mangled.locator(`.link-card[data-link=${kLink}] .link-open`).click();
    await mangled.locator('#plot .plot .uplot').waitFor({ timeout: 15000 });
    const data = () => chartData(mangled).then((columns) => columns.length === 4 && columns[0].length >= 40 && columns);
    const [times, pans, tilts, slides] = await waitFor('forty mangled statuses plotted', data);
    assert.ok(pans.includes(null) && tilts.includes(null) && !slides.includes(1e300), `what cannot be drawn is a gap: ${JSON.stringify([pans, tilts, slides]).slice(0, 600)}`);
    assert.ok(pans.some((pan) => typeof pan === 'number') && times.every(Number.isFinite), 'the rest is drawn');
    await screenshot(mangled, 'motion-mangled-statuses');
    await mangled.close();
  });

  test('four links streaming: every status drawn within a frame; CPU and heap figures', async () => {
    for (const sim of simulators.splice(0)) await sim.stop(); // the tests before may have left one
    for (const linkID of ['KSIMP003', 'KSIMP004', 'KSIMP005']) {
      simulators.push(await startSimulator(server, ['--link-id', linkID]));
      await pairByCable(linkID);
    }
    const chromium = await browser.newBrowserCDPSession();
    const cpu = async () => {
      const { processInfo } = await chromium.send('SystemInfo.getProcessInfo');
      const sum = (all) => processInfo.filter((p) => all || p.type === 'renderer').reduce((total, p) => total + p.cpuTime, 0);
      return { renderer: sum(false), all: sum(true), at: performance.now() };
    };
    const percent = (from, to, key) => +((100 * (to[key] - from[key])) / ((to.at - from.at) / 1000)).toFixed(1);
    const round = (value, digits = 1) => +value.toFixed(digits);

    // The baseline, in the same run and browser: a bare page taking the same four status
    // streams and parsing each, drawing nothing.
    await page.goto(`http://127.0.0.1:${server.webPort}/README.txt`);
    await page.evaluate(([url, links]) => {
      const socket = new WebSocket(url);
      socket.onopen = () => links.forEach((linkID, id) => socket.send(JSON.stringify({ jsonrpc: '2.0', id, method: 'subscribe', params: { topic: 'status', linkID, maxRate: 30 } })));
      socket.onmessage = (event) => JSON.parse(event.data);
    }, [`ws://127.0.0.1:${server.wsPort}/v2`, [kLink, 'KSIMP003', 'KSIMP004', 'KSIMP005']]);
    await delay(2000);
    const baseFrom = await cpu();
    await delay(Math.min(30, kSoakSeconds) * 1000);
    const baseTo = await cpu();

    await page.goto(server.appUrl);
    await page.locator(`.link-card[data-link=${kLink}] .link-open`).click();
    await page.locator('#plot .plot .uplot').waitFor();
    await waitFor('four links streaming', async () => (await page.locator('.link-card .health[data-health=ok]').count()) === 4, { timeoutMs: 20000 });
    const cdp = await page.context().newCDPSession(page);
    await cdp.send('HeapProfiler.enable');
    const heap = async () => (await cdp.send('HeapProfiler.collectGarbage'), (await cdp.send('Runtime.getHeapUsage')).usedSize / 2 ** 20);
    // The statuses as the sockets saw them (the link on screen, all) and the page's drawing figures, read together.
    const counts = (reset) =>
      page.evaluate(([link, clear]) => import('/app/frame.js').then(({ drawStats }) => {
        const taken = { shown: window.statusLog[link].count, all: Object.values(window.statusLog).reduce((n, log) => n + log.count, 0), ...drawStats };
        if (clear) drawStats.reset();
        return taken;
      }), [kLink, reset]);
    const [heapBefore, cpuBefore, before] = [await heap(), await cpu(), await counts(true)];
    await delay(kSoakSeconds * 1000);
    const [stats, cpuAfter, heapAfter] = [await counts(false), await cpu(), await heap()];
    const seconds = (cpuAfter.at - cpuBefore.at) / 1000;
    const received = stats.shown - before.shown;
    const figures = {
      seconds: Math.round(seconds),
      statusesPerSecondShownLink: round(received / seconds),
      statusesPerSecondAllLinks: round((stats.all - before.all) / seconds),
      ...{ statusesDrawn: stats.statuses, late: stats.late, maxLagMs: round(stats.maxLagMs), meanDrawMs: round(stats.drawMs / stats.passes, 2), maxDrawMs: round(stats.maxDrawMs) },
      rendererCpuPercent: percent(cpuBefore, cpuAfter, 'renderer'),
      chromiumCpuPercent: percent(cpuBefore, cpuAfter, 'all'),
      baselineRendererCpuPercent: percent(baseFrom, baseTo, 'renderer'),
      baselineChromiumCpuPercent: percent(baseFrom, baseTo, 'all'),
      ...{ heapBeforeMB: round(heapBefore, 2), heapAfterMB: round(heapAfter, 2) },
    };
    console.log('motion figures:', JSON.stringify(figures));
    const artifacts = process.env.KINETRA_ARTIFACTS;
    if (artifacts) fs.writeFileSync(path.join(artifacts, 'perf-motion.json'), `${JSON.stringify(figures, null, 1)}\n`);
    await screenshot(page, 'motion-four-links');
    // Each status of the link on screen is drawn once (give or take those of the frames at either end).
    assert.ok(received > 5 * seconds && Math.abs(received - stats.statuses) <= 4, `${stats.statuses} drawn of ${received}`);
    // A busy machine delays some frames; a page that drew on a timer instead would miss most.
    assert.ok(stats.late <= received / 4, `${stats.late} of ${received} statuses waited past their frame`);
    assert.ok(heapAfter - heapBefore < 2, `the heap grew by ${(heapAfter - heapBefore).toFixed(2)} MB`);
  });
});
