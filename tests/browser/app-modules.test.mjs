// The web application's pure modules without a browser: the jog state machine, the /v2
// connection's bookkeeping, reply formatting and the page's query.
import assert from 'node:assert/strict';
import { describe, test } from 'node:test';

import { apiKey, askForKey, keyHeaders, withKey } from '../../www/app/api_key.js';
import { batteryText, failureOf, pairingStateText, readingRows } from '../../www/app/format.js';
import { Jog, jogKeys, joystickMessage } from '../../www/app/jog.js';
import { serverAddresses } from '../../www/app/params.js';
import { backoffDelay, RpcConnection } from '../../www/app/rpc.js';
import { mqttText, studioRows } from '../../www/app/studio.js';

/** Timers the test fires by hand. */
function manualTimers() {
  const live = new Map();
  let next = 1;
  return {
    setInterval: (fn) => (live.set(next, fn), next++),
    clearInterval: (id) => live.delete(id),
    tick: () => [...live.values()].forEach((fn) => fn()),
    count: () => live.size,
  };
}

function recordingJog() {
  const timers = manualTimers();
  const sent = [];
  const jog = new Jog({ send: (message, options) => sent.push({ ...message, repeat: options.repeat }), ...timers });
  return { jog, sent, timers };
}

describe('jog', () => {
  test('jog keys come from the supported axes; focus cannot be jogged, jib axes are crane keys', () => {
    const axes = ['headPan', 'headTilt', 'slide', 'focus', 'jibPan', 'jibTilt'].map((axis) => ({ axis, device: 'x' }));
    assert.deepEqual(jogKeys(axes), ['headPan', 'headTilt', 'slide', 'craneMaxPan', 'craneMaxTilt']);
    assert.deepEqual(jogKeys(undefined), []);
  });

  test('a head with pan and tilt gets both in every message, as the bundle requires', () => {
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
    const { jog, sent, timers } = recordingJog();
    const keys = ['headPan', 'headTilt', 'slide'];
    jog.press('slide', 0.4, keys);
    jog.press('slide', 0.4, keys);
    jog.press('headTilt', -0.4, keys);
    assert.equal(jog.active, 'headTilt');
    assert.equal(timers.count(), 1, 'only the second axis refreshes');
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
    assert.equal(timers.count(), 0);
    assert.equal(jog.active, null);
  });
});

describe('the /v2 connection', () => {
  class FakeSocket {
    static made = [];
    constructor(url) {
      this.url = url;
      this.readyState = 0;
      this.sent = [];
      FakeSocket.made.push(this);
    }
    open() {
      this.readyState = 1;
      this.onopen?.();
    }
    send(text) {
      this.sent.push(text);
    }
    reply(text) {
      this.onmessage?.({ data: text });
    }
    close() {
      this.readyState = 3;
      this.onclose?.();
    }
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

describe('formatting', () => {
  test('failures: only result "ok" and a bare true are success', () => {
    assert.deepEqual(
      [{ result: 'ok', data: null }, true, { result: 'invalid setup' }, null, false, {}].map(failureOf),
      [null, null, 'invalid setup', 'no reply in time', 'the adapter did not answer', 'reply without result'],
    );
  });

  test('readings in a fixed order with their units; battery as a percentage', () => {
    const rows = readingRows({ slide: 0.25, headPan: 12.5, focus: 1000, jibTilt: -1 });
    assert.deepEqual(rows.map((r) => `${r.key} ${r.text}`), ['headPan 12.50°', 'slide 0.250', 'focus 1000', 'jibTilt -1.00°']);
    assert.deepEqual(readingRows(null), []);
    assert.equal(batteryText(0.85), '85 %');
    assert.equal(batteryText(undefined), '?');
  });

  test('the pairing state with its error when there is a problem', () => {
    assert.equal(pairingStateText({ wirelessPairState: 'problem', lastPairError: 'deviceSearchProblem' }), 'problem: deviceSearchProblem');
    assert.equal(pairingStateText({ canbusPairState: 'connecting', lastPairError: 'none' }), 'connecting');
  });
});

describe('server address', () => {
  test('the WebSocket port is the HTTP port + 2 unless named', () => {
    const { httpBase, wsBase, version } = serverAddresses('?port=40000&version=0.9.8', 'h');
    assert.deepEqual([httpBase, wsBase, version], ['http://h:40000', 'ws://h:40002', '0.9.8']);
    assert.equal(serverAddresses('?port=40000&ws=41000', 'h').wsBase, 'ws://h:41000');
    // The tray opens the firmware page without a query: the default ports.
    assert.equal(serverAddresses('', '').httpBase, 'http://127.0.0.1:32222');
    assert.equal(serverAddresses('?port=99999', 'h').wsBase, 'ws://h:32224');
  });
});

describe('studio panel', () => {
  test('shows the outputs off, and camera ids and counters when they run', () => {
    const off = {
      freed: { cameraIds: {}, packetsSent: 0, rate: 50, running: false, targets: [] },
      lastError: '',
      osc: { address: '0.0.0.0', messagesDropped: 0, messagesReceived: 0, port: 0, running: false },
    };
    const offRows = Object.fromEntries(studioRows(off));
    assert.deepEqual(['FreeD targets', 'OSC port', 'Camera ids', 'Last error'].map((key) => offRows[key]), ['off', 'off', '—', '—']);
    const running = {
      freed: { ...off.freed, cameraIds: { KSIM0001: 1, B: 7 }, targets: ['127.0.0.1:40000'], packetsSent: 12 },
      osc: { ...off.osc, port: 32225, messagesReceived: 3, messagesDropped: 1 },
      lastError: 'OSC: unknown address /x',
    };
    const rows = Object.fromEntries(studioRows(running));
    assert.equal(rows['Camera ids'], 'KSIM0001 → 1, B → 7');
    assert.equal(rows['OSC port'], '0.0.0.0:32225 (not running)');
    assert.equal(rows['OSC received'], '3 (1 untrusted dropped)');
    assert.equal(rows['Last error'], 'OSC: unknown address /x');
    assert.equal(offRows.MQTT, 'off'); // a server without the client
    const url = 'mqtts://broker:8883';
    assert.deepEqual([{ state: 'connected', url }, { state: 'retrying', url, lastError: 'Connection refused' }, { state: 'off', lastError: '[mqtt] url = "x" is not mqtt://host:port or mqtts://host:port' }].map(mqttText),
      [`connected to ${url}`, `retrying ${url}: Connection refused`, 'off: [mqtt] url = "x" is not mqtt://host:port or mqtts://host:port']);
  });
});

describe('api key', () => {
  test('asked once after a 401, kept, then sent as a header and on WebSocket URLs', () => {
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
