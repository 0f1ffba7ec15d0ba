// A short look at where the link page spends its time with four links streaming: the renderer's
// CPU against a bare page taking the same streams (alternating, in the same run), and the
// page's own counters (layouts, style recalculations, script and task time, per second). Not
// part of the suite; run by hand while working on the page's cost (Node 20 needs
// --experimental-websocket):
//   KINETRA_INSTALL=<prefix> node bench/browser/perf-probe.mjs [seconds] [rounds] [--reduced-motion]
//       [--profile file.cpuprofile] [--trace file.json (one file per measurement)]
// PROBE_FLOOR=1 adds a third page to each round: the bare page that also redraws a canvas of the
// plot's size (desynchronized, as the plot's) in one frame per status of the link on screen, the
// least any page drawing every status costs; what the link page costs beyond it is its own.
// PROBE_LAYERS=1 lists the page's composited layers and why; PROBE_MUTATIONS=1 counts the DOM
// writes of five seconds by target; PROBE_VARIANTS='["js", ...]' measures the page again after
// running each snippet in it (what a change would save, before making it).
import fs from 'node:fs';

import { delay, launchBrowser, post, startServer, startSimulator, waitFor } from '../../tests/browser/support.mjs';

const args = process.argv.slice(2);
const profileAt = args.indexOf('--profile');
const profileFile = profileAt >= 0 ? args.splice(profileAt, 2)[1] : null;
const traceAt = args.indexOf('--trace');
const traceFile = traceAt >= 0 ? args.splice(traceAt, 2)[1] : null;
const reduced = args.includes('--reduced-motion') && args.splice(args.indexOf('--reduced-motion'), 1);
const [seconds = 20, rounds = 1] = args.map(Number);
const links = ['KSIM0001', 'KSIMP003', 'KSIMP004', 'KSIMP005'];

const server = await startServer();
const simulators = [];
let browser;
try {
  const pair = async (linkID) => {
    await waitFor(`${linkID} listed`, async () => (await post(server.httpPort, '/v1/device', { command: 'linkStatus' })).data.some((l) => l.linkID === linkID));
    await post(server.httpPort, `/v1/link/${linkID}`, { command: 'link1PairingConnect' });
  };
  await pair(links[0]);
  for (const linkID of links.slice(1)) {
    simulators.push(await startSimulator(server, ['--link-id', linkID]));
    await pair(linkID);
  }
  browser = await launchBrowser();
  const chromium = await browser.newBrowserCDPSession();
  const rendererCpu = async () => {
    const { processInfo } = await chromium.send('SystemInfo.getProcessInfo');
    return processInfo.filter((p) => p.type === 'renderer').reduce((total, p) => total + p.cpuTime, 0);
  };
  const page = await browser.newPage({ viewport: { width: 1400, height: 1000 }, reducedMotion: reduced ? 'reduce' : 'no-preference' });
  page.on('pageerror', (error) => console.error('page error:', error.message));
  const cdp = await page.context().newCDPSession(page);
  await cdp.send('Performance.enable');
  const metrics = async () => Object.fromEntries((await cdp.send('Performance.getMetrics')).metrics.map((m) => [m.name, m.value]));

  const measure = async (label) => {
    await delay(2000);
    const [cpu0, m0, t0] = [await rendererCpu(), await metrics(), performance.now()];
    if (profileFile && label === 'page') {
      await cdp.send('Profiler.enable');
      await cdp.send('Profiler.setSamplingInterval', { interval: 200 });
      await cdp.send('Profiler.start');
    }
    if (traceFile) await browser.startTracing(page, { path: traceFile.replace('.json', `-${label}.json`), categories: ['toplevel', 'disabled-by-default-devtools.timeline', 'cc', 'blink', 'v8', ...(process.env.PROBE_CATEGORIES ?? '').split(',').filter(Boolean)] });
    await delay(seconds * 1000);
    if (traceFile) await browser.stopTracing();
    if (profileFile && label === 'page') fs.writeFileSync(profileFile, JSON.stringify((await cdp.send('Profiler.stop')).profile));
    const [cpu1, m1, t1] = [await rendererCpu(), await metrics(), performance.now()];
    const span = (t1 - t0) / 1000;
    const rate = (key) => +((m1[key] - m0[key]) / span).toFixed(2);
    const ms = (key) => +((1000 * (m1[key] - m0[key])) / span).toFixed(1); // ms per second
    console.log(
      label.padEnd(8),
      JSON.stringify({
        cpu: +((100 * (cpu1 - cpu0)) / span).toFixed(1),
        layouts: rate('LayoutCount'),
        styles: rate('RecalcStyleCount'),
        layoutMs: ms('LayoutDuration'),
        styleMs: ms('RecalcStyleDuration'),
        scriptMs: ms('ScriptDuration'),
        taskMs: ms('TaskDuration'),
        nodes: m1.Nodes,
      }),
    );
  };
  for (let round = 0; round < rounds; ++round) {
    await page.goto(`http://127.0.0.1:${server.webPort}/README.txt`);
    await page.evaluate(([url, ids]) => {
      const socket = new WebSocket(url);
      socket.onopen = () => ids.forEach((linkID, id) => socket.send(JSON.stringify({ jsonrpc: '2.0', id, method: 'subscribe', params: { topic: 'status', linkID, maxRate: 30 } })));
      socket.onmessage = (event) => JSON.parse(event.data);
    }, [`ws://127.0.0.1:${server.wsPort}/v2`, links]);
    await measure('bare');
    if (process.env.PROBE_FLOOR) {
      await page.goto(`http://127.0.0.1:${server.webPort}/README.txt`);
      await page.evaluate(([url, ids]) => {
        const canvas = Object.assign(document.createElement('canvas'), { width: 480, height: 240 });
        document.body.append(canvas);
        const context = canvas.getContext('2d', { desynchronized: true });
        let drawn = 0;
        let requested = false;
        const draw = () => {
          requested = false;
          context.clearRect(0, 0, canvas.width, canvas.height);
          context.fillStyle = '#3ba7ff';
          context.fillRect((drawn += 1) % 440, 100, 40, 40);
        };
        const socket = new WebSocket(url);
        socket.onopen = () => ids.forEach((linkID, id) => socket.send(JSON.stringify({ jsonrpc: '2.0', id, method: 'subscribe', params: { topic: 'status', linkID, maxRate: 30 } })));
        socket.onmessage = (event) => {
          const message = JSON.parse(event.data);
          if (message.params?.data && event.data.includes(`"linkID":"${ids[0]}"`) && !requested) {
            requested = true;
            requestAnimationFrame(draw);
          }
        };
      }, [`ws://127.0.0.1:${server.wsPort}/v2`, links]);
      await measure('floor');
    }
    await page.goto(server.appUrl);
    await page.locator(`.link-card[data-link=${links[0]}] .link-open`).click();
    await page.locator('#plot .plot .uplot').waitFor({ timeout: 15000 });
    await measure('page');
    for (const [i, snippet] of (process.env.PROBE_VARIANTS ? JSON.parse(process.env.PROBE_VARIANTS) : []).entries()) {
      await page.reload();
      await page.locator(`.link-card[data-link=${links[0]}] .link-open`).click();
      await page.locator('#plot .plot .uplot').waitFor({ timeout: 15000 });
      await page.evaluate(snippet);
      await measure(`v${i}`);
    }
    if (process.env.PROBE_LAYERS) {
      const layers = new Promise((resolve) => cdp.once('LayerTree.layerTreeDidChange', resolve));
      await cdp.send('DOM.getDocument');
      await cdp.send('LayerTree.enable');
      const { layers: list } = await layers;
      for (const layer of list ?? []) {
        let name = '';
        if (layer.backendNodeId) {
          const { node } = await cdp.send('DOM.describeNode', { backendNodeId: layer.backendNodeId }).catch(() => ({ node: {} }));
          name = `${node.nodeName ?? ''}.${(node.attributes ?? []).join(' ').slice(0, 60)}`;
        }
        const { compositingReasons } = await cdp.send('LayerTree.compositingReasons', { layerId: layer.layerId }).catch(() => ({}));
        console.log(layer.layerId, `${Math.round(layer.width)}x${Math.round(layer.height)}`, layer.drawsContent ? 'draws' : '', name, (compositingReasons ?? []).join(','));
      }
      await cdp.send('LayerTree.disable');
    }
    if (process.env.PROBE_MUTATIONS) console.log(await page.evaluate(() => new Promise((resolve) => {
      const seen = {};
      const name = (n) => (n.nodeType === 1 ? `${n.tagName.toLowerCase()}.${n.getAttribute('class') ?? ''}` : `#text<${n.parentNode?.tagName}.${n.parentNode?.className}>`);
      const observer = new MutationObserver((records) => records.forEach((r) => { const k = `${r.type} ${r.attributeName ?? ''} ${name(r.target)}`; seen[k] = (seen[k] ?? 0) + 1; }));
      observer.observe(document.body, { subtree: true, attributes: true, childList: true, characterData: true });
      const texts = [];
      const health = new MutationObserver((records) => records.forEach((r) => texts.push(`${Math.round(performance.now())} ${r.target.dataset.link} ${r.target.textContent}`)));
      document.querySelectorAll('.health').forEach((node) => health.observe(node, { childList: true }));
      setTimeout(() => { observer.disconnect(); health.disconnect(); resolve({ animations: document.getAnimations().length, ...seen, texts: texts.slice(0, 40) }); }, 5000);
    })));
  }
} finally {
  await browser?.close();
  for (const sim of simulators) await sim.stop();
  await server.stop();
}
