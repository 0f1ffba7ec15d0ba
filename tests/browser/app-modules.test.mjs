// The web application's pure modules without a browser: the jog state machine, the /v2
// connection's bookkeeping, reply formatting, the page's query, link health, the plot's data
// and the picture's values.
import assert from 'node:assert/strict';
import { describe, test } from 'node:test';

import { apiKey, askForKey, keyHeaders, withKey } from '../../www/app/api_key.js';
import { batteryText, failureOf, pairingStateText, readingRows } from '../../www/app/format.js';
import { healthLevel, healthText, LinkHealth, readStatistics } from '../../www/app/health.js';
import { Jog, jogKeys, joystickMessage } from '../../www/app/jog.js';
import { KeyposeValues } from '../../www/app/keyposes.js';
import { axisValues, fraction, limitsOf, moveTarget, reportedAxes, spanOf } from '../../www/app/motion_axes.js';
import { MoveMarks, TimeWindow } from '../../www/app/motion_data.js';
import { serverAddresses } from '../../www/app/params.js';
import { backoffDelay, RpcConnection } from '../../www/app/rpc.js';
import { StatusFeed } from '../../www/app/status_feed.js';
import { mqttText, studioRows } from '../../www/app/studio.js';

describe('jog', () => {
  test('jog keys come from the supported axes (focus cannot be jogged, jib axes are crane keys); a head with pan and tilt gets both in every message, as the bundle requires', () => {
    const axes = ['headPan', 'headTilt', 'slide', 'focus', 'jibPan', 'jibTilt'].map((axis) => ({ axis, device: 'x' }));
    assert.deepEqual(jogKeys(axes), ['headPan', 'headTilt', 'slide', 'craneMaxPan', 'craneMaxTilt']);
    assert.deepEqual(jogKeys(undefined), []);
    const cases = [
      ['headTilt', -0.5, ['headPan', 'headTilt', 'slide'], { headPan: 0, headTilt: -0.5 }],
      ['headPan', 1, ['headPan', 'slide'], { headPan: 1 }],
      ['slide', 0.2, ['headPan', 'headTilt', 'slide'], { slide: 0.2 }],
      ['craneMaxTilt', 0.3, ['craneMaxTilt'], { craneMaxPan: 0, craneMaxTilt: 0.3 }],
    ];
    for (const [axis, value, keys, axes] of cases) {
      assert.deepEqual(joystickMessage(axis, value, keys), { command: 'joystickMove', ...axes });
    }
  });

  // Holding refreshes on every tick (the browser scenario sees that); here the bookkeeping
  // around it: one stop however many release events come, and another axis stops the first.
  test('one release sends one stop; pressing another axis stops the first; the same press twice is one', () => {
    const live = new Map(); // the refresh timers, fired by hand
    let next = 0;
    const timers = { setInterval: (fn) => (live.set(++next, fn), next), clearInterval: (id) => live.delete(id), tick: () => [...live.values()].forEach((fn) => fn()) };
    const sent = [];
    const jog = new Jog({ send: (message, options) => sent.push({ ...message, repeat: options.repeat }), ...timers });
    const keys = ['headPan', 'headTilt', 'slide'];
    jog.press('slide', 0.4, keys);
    jog.press('slide', 0.4, keys);
    jog.press('headTilt', -0.4, keys);
    assert.equal(jog.active, 'headTilt');
    assert.equal(live.size, 1, 'only the second axis refreshes');
    timers.tick();
    jog.release();
    jog.release(); // pointerup, then lostpointercapture and pointerleave: still one stop
    timers.tick();
    assert.deepEqual(sent, [
      { command: 'joystickMove', slide: 0.4, repeat: false },
      { command: 'joystickMove', slide: 0, repeat: false },
      { command: 'joystickMove', headPan: 0, headTilt: -0.4, repeat: false },
      { command: 'joystickMove', headPan: 0, headTilt: -0.4, repeat: true },
      { command: 'joystickMove', headPan: 0, headTilt: 0, repeat: false },
    ]);
    assert.equal(live.size, 0);
    assert.equal(jog.active, null);
  });
});

describe('the /v2 connection', () => {
  class FakeSocket {
    static made = [];
    constructor(url) {
      Object.assign(this, { url, readyState: 0, sent: [] });
      FakeSocket.made.push(this);
    }
    open = () => ((this.readyState = 1), this.onopen?.());
    send = (text) => this.sent.push(text);
    reply = (text) => this.onmessage?.({ data: text });
    close = () => ((this.readyState = 3), this.onclose?.());
  }

  const sentOf = (socket) => socket.sent.map((text) => JSON.parse(text));
  const answer = (socket, id, body) => socket.reply(JSON.stringify({ jsonrpc: '2.0', id, ...body }));

  test('calls are answered by id in any order; a close fails what is pending and reconnects', async () => {
    const states = [];
    const rpc = new RpcConnection('ws://x/v2', { WebSocketClass: FakeSocket, onState: (s) => states.push(s) });
    assert.deepEqual(await rpc.call('/v1/device', {}), { result: 'not connected' });
    const first = FakeSocket.made.at(-1);
    first.open();
    const a = rpc.call('/v1/bundle/L', { command: 'a' });
    const b = rpc.call('/v1/bundle/L', { command: 'b' });
    const c = rpc.call('/v1/device', { command: 'c' });
    assert.equal(rpc.outstanding('/v1/bundle/L'), 2);
    const [ida, idb, idc] = sentOf(first).map((m) => m.id);
    assert.deepEqual(sentOf(first)[0], { jsonrpc: '2.0', id: ida, method: 'call', params: { path: '/v1/bundle/L', request: { command: 'a' } } });
    answer(first, idb, { error: { code: -32000, message: 'no reply' } });
    answer(first, ida, { result: { result: 'ok', n: 1 } });
    assert.deepEqual(await a, { result: 'ok', n: 1 });
    assert.equal(await b, null, 'no reply from the service reads as HTTP\'s empty body');
    first.close();
    assert.deepEqual(await c, { result: 'connection closed' });
    assert.notEqual(idc, undefined);
    const made = FakeSocket.made.length;
    await new Promise((resolve) => setTimeout(resolve, backoffDelay(0) + 50));
    assert.equal(FakeSocket.made.length, made + 1, 'a new socket after the back-off');
    assert.deepEqual(states, ['connecting', 'open', 'closed', 'connecting']);
    rpc.close();
  });

  test('a subscription gets its notifications, is renewed after a reconnect and ends on request', async () => {
    const rpc = new RpcConnection('ws://x/v2', { WebSocketClass: FakeSocket });
    const first = FakeSocket.made.at(-1);
    const seen = [];
    const unsubscribe = rpc.subscribe({ topic: 'status', linkID: 'L' }, (data) => seen.push(data));
    first.open();
    const subscribe = sentOf(first).at(-1);
    assert.deepEqual(subscribe.params, { topic: 'status', linkID: 'L' });
    // A notification ahead of the answer that names its subscription is kept for it.
    first.reply(JSON.stringify({ jsonrpc: '2.0', method: 'status', params: { subscription: 7, linkID: 'L', data: { n: 1 } } }));
    answer(first, subscribe.id, { result: { subscription: 7 } });
    await new Promise((resolve) => setTimeout(resolve, 0));
    first.reply(JSON.stringify({ jsonrpc: '2.0', method: 'status', params: { subscription: 8, linkID: 'M', data: { n: 99 } } }));
    first.reply(JSON.stringify({ jsonrpc: '2.0', method: 'status', params: { subscription: 7, linkID: 'L', data: { n: 2 } } }));
    assert.deepEqual(seen, [{ n: 1 }, { n: 2 }]);

    first.close();
    await new Promise((resolve) => setTimeout(resolve, backoffDelay(0) + 50));
    const second = FakeSocket.made.at(-1);
    second.open();
    const renewed = sentOf(second).at(-1);
    assert.equal(renewed.method, 'subscribe');
    answer(second, renewed.id, { result: { subscription: 3 } });
    await new Promise((resolve) => setTimeout(resolve, 0));
    unsubscribe();
    assert.deepEqual(sentOf(second).at(-1).params, { subscription: 3 });
    second.reply(JSON.stringify({ jsonrpc: '2.0', method: 'status', params: { subscription: 3, data: { n: 3 } } }));
    assert.deepEqual(seen, [{ n: 1 }, { n: 2 }]);
    rpc.close();
  });
});

describe('texts and addresses', () => {
  test('failures (only result "ok" and a bare true are success), readings in a fixed order with their units, battery, and the pairing state with its error', () => {
    assert.deepEqual(
      [{ result: 'ok', data: null }, true, { result: 'invalid setup' }, null, false, {}].map(failureOf),
      [null, null, 'invalid setup', 'no reply in time', 'the adapter did not answer', 'reply without result'],
    );
    const rows = readingRows({ slide: 0.25, headPan: 12.5, focus: 1000, jibTilt: -1 });
    assert.deepEqual(rows.map((r) => `${r.key} ${r.text}`), ['headPan 12.50°', 'slide 0.250', 'focus 1000', 'jibTilt -1.00°']);
    assert.deepEqual(readingRows(null), []);
    assert.deepEqual([batteryText(0.85), batteryText(undefined)], ['85 %', '?']);
    assert.equal(pairingStateText({ wirelessPairState: 'problem', lastPairError: 'deviceSearchProblem' }), 'problem: deviceSearchProblem');
    assert.equal(pairingStateText({ canbusPairState: 'connecting', lastPairError: 'none' }), 'connecting');
  });

  test('the WebSocket port is the HTTP port + 2 unless named', () => {
    const { httpBase, wsBase, version } = serverAddresses('?port=40000&version=0.9.8', 'h');
    assert.deepEqual([httpBase, wsBase, version], ['http://h:40000', 'ws://h:40002', '0.9.8']);
    assert.equal(serverAddresses('?port=40000&ws=41000', 'h').wsBase, 'ws://h:41000');
    // The tray opens the firmware page without a query: the default ports.
    assert.equal(serverAddresses('', '').httpBase, 'http://127.0.0.1:32222');
    assert.equal(serverAddresses('?port=99999', 'h').wsBase, 'ws://h:32224');
  });

  test('the studio panel shows the outputs off, and camera ids and counters when they run', () => {
    const rows = (studio, keys) => keys.map((key) => Object.fromEntries(studioRows(studio))[key]);
    const off = {
      freed: { cameraIds: {}, packetsSent: 0, rate: 50, running: false, targets: [] },
      lastError: '',
      osc: { address: '0.0.0.0', messagesDropped: 0, messagesReceived: 0, port: 0, running: false },
    };
    // MQTT is off on a server without the client.
    assert.deepEqual(rows(off, ['FreeD targets', 'OSC port', 'Camera ids', 'Last error', 'VISCA ports', 'MQTT']), ['off', 'off', '—', '—', 'off', 'off']);
    const running = {
      freed: { ...off.freed, cameraIds: { KSIM0001: 1, B: 7 }, targets: ['127.0.0.1:40000'], packetsSent: 12 },
      osc: { ...off.osc, port: 32225, messagesReceived: 3, messagesDropped: 1 },
      lastError: 'OSC: unknown address /x',
    };
    assert.deepEqual(rows(running, ['Camera ids', 'OSC port', 'OSC received', 'Last error']), ['KSIM0001 → 1, B → 7', '0.0.0.0:32225 (not running)', '3 (1 untrusted dropped)', 'OSC: unknown address /x']);
    const visca = { address: '0.0.0.0', ports: { KSIM0001: 52381 }, running: true, datagrams: 9, untrusted: 1, refused: 2, errors: 3 };
    assert.deepEqual(rows({ ...running, visca }, ['VISCA ports', 'VISCA received']), ['KSIM0001 → 0.0.0.0:52381', '9 (1 untrusted, 2 refused, 3 errors)']);
    const url = 'mqtts://broker:8883';
    assert.deepEqual([{ state: 'connected', url }, { state: 'retrying', url, lastError: 'Connection refused' }, { state: 'off', lastError: '[mqtt] url = "x" is not mqtt://host:port or mqtts://host:port' }].map(mqttText),
      [`connected to ${url}`, `retrying ${url}: Connection refused`, 'off: [mqtt] url = "x" is not mqtt://host:port or mqtts://host:port']);
  });

  test('the api key is asked once after a 401, kept, then sent as a header and on WebSocket URLs', () => {
    const stored = new Map();
    globalThis.localStorage = { getItem: (k) => stored.get(k) ?? null, setItem: (k, v) => stored.set(k, v) };
    try {
      assert.deepEqual(keyHeaders(), {}); // no key: requests stay simple
      assert.equal(withKey('ws://127.0.0.1:32224/v1/device'), 'ws://127.0.0.1:32224/v1/device');
      const questions = [];
      assert.equal(askForKey((text) => (questions.push(text), ' k3y&x ')), true);
      assert.equal(askForKey(() => 'other'), false); // never asked twice in one page
      assert.equal(questions.length, 1);
      assert.equal(apiKey(), 'k3y&x');
      assert.deepEqual(keyHeaders(), { 'X-Api-Key': 'k3y&x' });
      assert.equal(withKey('ws://127.0.0.1:32224/v1/bundle/K?a=1'), 'ws://127.0.0.1:32224/v1/bundle/K?a=1&apiKey=k3y%26x');
    } finally {
      delete globalThis.localStorage;
    }
  });
});

describe('link health', () => {
  test('levels from the documented limits; figures the server does not give are not judged', () => {
    const cases = [
      [{ statusAgeMs: 40, statusRate: 20 }, 'ok'],
      [{ statusAgeMs: 300, statusRate: 20 }, 'amber'],
      [{ statusAgeMs: 800, statusRate: 20 }, 'red'],
      [{ statusAgeMs: 40, statusRate: 3 }, 'amber'],
      [{ statusAgeMs: 40, statusRate: null, ackRoundTripP99: 120 }, 'amber'],
      [{ statusAgeMs: 40, ackRoundTripP99: 20, timeoutsPerMinute: 1 }, 'amber'],
      [{ statusAgeMs: 40, retriesPerMinute: 25 }, 'red'],
    ];
    for (const [figures, level] of cases) assert.equal(healthLevel(figures), level, JSON.stringify(figures));
    const read = readStatistics({ retries: 4, ackRoundTrip: { p50: 8, p99: 31 }, timeouts: 'x' });
    assert.deepEqual([read.retries, read.ackRoundTripP50, read.ackRoundTripP99, read.timeouts, read.framesIn], [4, 8, 31, null, null]);
  });

  test('rate and age from arrivals: a link that goes silent is red within a second', () => {
    const health = new LinkHealth(0);
    assert.match(healthText(health.figures(900)), /no status yet/);
    assert.equal(health.figures(900).level, 'red', 'a paired link that never reports');
    for (let at = 1000; at <= 4000; at += 50) health.noteStatus(at);
    const at = (now) => [health.figures(now).level, healthText(health.figures(now))];
    assert.deepEqual([4010, 4400, 4760, 5500].map(at), [
      ['ok', '20 status/s · last < 250 ms'],
      ['amber', '16 status/s · last 400 ms ago'],
      ['red', '13 status/s · last 760 ms ago'],
      ['red', 'no status for 1.5 s'],
    ]);
    // A steady stream with jitter reads the same just before and just after each status, also
    // one whose rate wavers about a half (19.5 a second) and would round either way.
    for (const [interval, text] of [[50, /^20 status/], [1000 / 19.5, /^(19|20) status/]]) {
      const steady = new LinkHealth(0);
      const texts = new Set();
      for (let i = 0; i < 200; ++i) {
        const arrival = 1000 + i * interval + ((i * 7) % 5) * 3;
        if (i > 60) texts.add(healthText(steady.figures(arrival - 1)));
        steady.noteStatus(arrival);
        if (i > 60) texts.add(healthText(steady.figures(arrival + 1)));
      }
      assert.ok(texts.size === 1 && text.test([...texts][0]) && [...texts][0].endsWith(' · last < 250 ms'), `every ${interval} ms: ${[...texts]}`);
    }
  });

  test('retries and time-outs count over the last minute, afresh when the counters restart', () => {
    const health = new LinkHealth(0);
    health.noteStatus(0);
    for (let s = 0; s <= 90; ++s) health.noteStatistics({ retries: s * 2, timeouts: s >= 80 ? 3 : 0, ackRoundTrip: { p50: 9, p99: 40 } }, s * 1000);
    let figures = health.figures(90000);
    assert.deepEqual([figures.retriesPerMinute, figures.timeoutsPerMinute], [120, 3]);
    assert.match(healthText(figures, { detailed: true }), /ack 9 ms \(p99 40 ms\) · 120 retries\/min · 3 time-outs\/min/);
    [1, 2].forEach((retries, i) => health.noteStatistics({ retries, timeouts: 0 }, 91000 + i * 1000));
    figures = health.figures(92000);
    assert.deepEqual([figures.retriesPerMinute, figures.timeoutsPerMinute], [1, 0]);
  });
});

describe('motion data', () => {
  test('the window keeps rising times and drops old points in batches; bad values are gaps', () => {
    const window = new TimeWindow(['headPan', 'focus'], { seconds: 10 });
    for (let i = 0; i <= 400; ++i) window.push(1000 + i * 0.05, { headPan: i, focus: i % 2 ? Infinity : 5 });
    assert.ok(window.times[0] >= 1020 - 10 - 64 * 0.05 && window.times[0] < 1010, `oldest ${window.times[0]}`);
    assert.equal(window.data[2].at(-1), 5);
    window.push(1020, { headPan: 1e9, focus: '3' }); // same stamp again, absurd pan, a string
    assert.deepEqual([window.end > 1020, window.data[1].at(-1), window.data[2].at(-1)], [true, null, null]);
    window.push(500, { headPan: 1 }); // the clock went back: start afresh
    window.push(NaN, { headPan: 2 });
    assert.deepEqual(window.data, [[500], [1], [null]]);
  });

  test('a move is marked from its first status: start from its progress, planned end from its duration', () => {
    const marks = new MoveMarks({ seconds: 30 });
    const status = (state, plannedMotionProgress, plannedMotionDuration = 4) => ({ state, plannedMotionProgress, plannedMotionDuration });
    assert.deepEqual([marks.update(100, status('idle', 0)), marks.update(101, status('realTimeMove', 0.25)), marks.update(102, status('realTimeMove', 0.5))], [false, true, false]);
    assert.deepEqual(marks.marks.map(({ start, end, running }) => [start, end, running]), [[100, 104, true]]);
    marks.update(103, status('keyposeMove', 0, 2)); // the next leg of a loop
    marks.update(106, status('idle', 0));
    assert.deepEqual(marks.marks.map(({ start, end, running }) => [start, end, running]), [[100, 104, false], [103, 105, false]]);
    marks.update(140, status('idle', 0));
    assert.deepEqual(marks.marks, []);
    marks.update(141, status('realTimeMove', 0.5, NaN));
    assert.deepEqual(marks.marks, [], 'no planned duration, nothing to mark');
  });

  test('axes, values, spans and the target of the running move', () => {
    assert.deepEqual(reportedAxes({ supportedAxes: [{ axis: 'slide' }, null, { axis: 'roll' }], readings: { headPan: 1 } }), ['headPan', 'slide']);
    assert.deepEqual(axisValues({ index: 2, headPan: 20, craneMaxTilt: -4, focus: 1e12, slide: null }), { headPan: 20, jibTilt: -4 });
    assert.deepEqual([spanOf([0, 1], 1.5, null, -0.25), spanOf(undefined, 3, 3)], [[-0.25, 1.5], [2.5, 3.5]]);
    assert.deepEqual([fraction(0.25, [0, 1]), fraction(9, [0, 1]), fraction(null, [0, 1]), fraction(1, [1, 1])], [0.25, 1, null, null]);
    assert.deepEqual(limitsOf({ panMinLimit: -360, panMaxLimit: 360, slideMinLimit: 0, slideMaxLimit: 0 }), { headPan: [-360, 360] });
    const poses = new Map([[2, { headPan: 20 }]]);
    const targets = [{ state: 'realTimeMove' }, { state: 'keyposeMove', keyposeMotionAimIndex: 2 }, { state: 'keyposeMove', keyposeMotionAimIndex: 4 }, { state: 'idle' }];
    assert.deepEqual(targets.map((status) => moveTarget(status, { realTime: { values: { headPan: 5 } }, poses })), [{ headPan: 5 }, { headPan: 20 }, null, null]);
  });
});

describe('status feed, drawing passes and key poses', () => {
  test('one subscription per link, the latest for a late listener, and none when nobody listens', () => {
    const subscribed = [];
    const rpc = { subscribe: (params, onData) => (subscribed.push({ params, onData, open: true }), () => (subscribed.at(-1).open = false)) };
    const feed = new StatusFeed(rpc, { now: () => 7 });
    const seen = [];
    const stops = ['a', 'b'].map((name) => feed.listen('L', (data, at) => seen.push([name, data, at])));
    subscribed[0].onData({ n: 1 });
    stops.push(feed.listen('L', (data, at) => seen.push(['c', data, at])));
    assert.deepEqual(subscribed.map((s) => s.params), [{ topic: 'status', linkID: 'L', maxRate: 30 }]);
    assert.deepEqual(seen, ['a', 'b', 'c'].map((name) => [name, { n: 1 }, 7]));
    stops.slice(0, 2).forEach((stop) => stop());
    assert.equal(subscribed[0].open, true, 'c still listens');
    stops[2]();
    assert.equal(subscribed[0].open, false);
  });

  test('a status is drawn at the end of its task; a burst, or a hidden page, waits for the next frame', async (t) => {
    const frames = [];
    Object.assign(globalThis, { document: { hidden: false }, requestAnimationFrame: (run) => frames.push(run) });
    t.after(() => {
      delete globalThis.document;
      delete globalThis.requestAnimationFrame;
    });
    const { drawSoon, drawStats } = await import('../../www/app/frame.js');
    const drawn = [];
    const status = (n, at) => ['plot', 'panel'].forEach((view) => drawSoon(view, () => drawn.push(`${view}${n}`), at));
    status(1, performance.now());
    await null;
    assert.deepEqual([drawn, frames.length, drawStats.passes, drawStats.statuses], [['plot1', 'panel1'], 0, 1, 1]);
    [2, 3].forEach((n) => status(n, performance.now() + n));
    await null;
    assert.deepEqual([drawn.length, frames.length], [2, 1], 'within a frame of the last pass: the next frame draws');
    frames.shift()();
    assert.deepEqual([drawn.slice(2), drawStats.passes, drawStats.statuses], [['plot3', 'panel3'], 2, 3]);
    await new Promise((resolve) => setTimeout(resolve, 20));
    document.hidden = true;
    status(4, performance.now());
    await null;
    assert.deepEqual([drawn.length, frames.length], [4, 1], 'a hidden page draws only in frames');
  });

  test('slots are read when they fill and forgotten when emptied; an empty answer drops the slot', async () => {
    const asked = [];
    const answers = [{ result: 'ok', data: { index: 0, headPan: 10, craneMaxPan: 3 } }, { result: 'read index different', data: { index: -1 } }, null];
    const poses = new KeyposeValues({ bundle: async (linkID, { index }) => (asked.push(index), answers[index]) }, 'L');
    const settle = () => new Promise((resolve) => setTimeout(resolve, 0));
    poses.sync([true, true, true, false]);
    await settle();
    assert.deepEqual([asked, [...poses.values]], [[0, 1, 2], [[0, { headPan: 10, jibPan: 3 }]]]);
    poses.sync([true, true, true, false]);
    poses.sync(['?']);
    await settle();
    assert.deepEqual([asked, poses.values.size], [[0, 1, 2], 0], 'nothing read again; all forgotten');
  });
});
