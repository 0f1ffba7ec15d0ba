// The web application's pure modules without a browser: the jog state machine, the reconnecting
// socket's bookkeeping, reply formatting and the page's query.
import assert from 'node:assert/strict';
import { describe, test } from 'node:test';

import { apiKey, askForKey, keyHeaders, withKey } from '../../www/app/api_key.js';
import { batteryText, failureOf, firmwareNotes, pairingStateText, readingRows } from '../../www/app/format.js';
import { Jog, jogKeys, joystickMessage } from '../../www/app/jog.js';
import { serverAddresses } from '../../www/app/params.js';
import { backoffDelay, ReconnectingSocket } from '../../www/app/socket.js';

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
    assert.deepEqual(joystickMessage('headTilt', -0.5, ['headPan', 'headTilt', 'slide']), {
      command: 'joystickMove',
      headPan: 0,
      headTilt: -0.5,
    });
    assert.deepEqual(joystickMessage('headPan', 1, ['headPan', 'slide']), { command: 'joystickMove', headPan: 1 });
    assert.deepEqual(joystickMessage('slide', 0.2, ['headPan', 'headTilt', 'slide']), { command: 'joystickMove', slide: 0.2 });
    assert.deepEqual(joystickMessage('craneMaxTilt', 0.3, ['craneMaxTilt']), {
      command: 'joystickMove',
      craneMaxPan: 0,
      craneMaxTilt: 0.3,
    });
  });

  test('a hold sends at once, refreshes on every tick, and one release sends one stop', () => {
    const { jog, sent, timers } = recordingJog();
    const keys = ['headPan', 'headTilt'];
    jog.press('headPan', 0.5, keys);
    assert.equal(jog.active, 'headPan');
    timers.tick();
    timers.tick();
    assert.deepEqual(sent, [
      { command: 'joystickMove', headPan: 0.5, headTilt: 0, repeat: false },
      { command: 'joystickMove', headPan: 0.5, headTilt: 0, repeat: true },
      { command: 'joystickMove', headPan: 0.5, headTilt: 0, repeat: true },
    ]);
    sent.length = 0;
    jog.release();
    jog.release(); // pointerup, then lostpointercapture and pointerleave: still one stop
    timers.tick();
    assert.deepEqual(sent, [{ command: 'joystickMove', headPan: 0, headTilt: 0, repeat: false }]);
    assert.equal(timers.count(), 0);
    assert.equal(jog.active, null);
  });

  test('pressing another axis stops the first before moving the second; the same press twice is one', () => {
    const { jog, sent, timers } = recordingJog();
    const keys = ['headPan', 'headTilt', 'slide'];
    jog.press('slide', 0.4, keys);
    jog.press('slide', 0.4, keys);
    jog.press('headTilt', -0.4, keys);
    assert.deepEqual(sent, [
      { command: 'joystickMove', slide: 0.4, repeat: false },
      { command: 'joystickMove', slide: 0, repeat: false },
      { command: 'joystickMove', headPan: 0, headTilt: -0.4, repeat: false },
    ]);
    assert.equal(timers.count(), 1, 'only the second axis refreshes');
  });
});

describe('reconnecting socket', () => {
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

  test('replies go to their requests in order; a close fails what is pending and reconnects', async () => {
    const states = [];
    const socket = new ReconnectingSocket('ws://x/v1/bundle/L', { WebSocketClass: FakeSocket, onState: (s) => states.push(s) });
    assert.deepEqual(await socket.request({}), { result: 'not connected' });
    const first = FakeSocket.made.at(-1);
    first.open();
    const a = socket.request({ n: 1 });
    const b = socket.request({ n: 2 });
    assert.equal(socket.outstanding, 2);
    first.reply('{"result":"ok","n":1}');
    assert.deepEqual(await a, { result: 'ok', n: 1 });
    first.close();
    assert.deepEqual(await b, { result: 'connection closed' });
    assert.deepEqual(first.sent, ['{"n":1}', '{"n":2}']);
    const made = FakeSocket.made.length;
    await new Promise((resolve) => setTimeout(resolve, backoffDelay(0) + 50));
    assert.equal(FakeSocket.made.length, made + 1, 'a new socket after the back-off');
    assert.deepEqual(states, ['connecting', 'open', 'closed', 'connecting']);
    socket.close();
  });

  test('the back-off doubles up to five seconds', () => {
    assert.deepEqual([0, 1, 2, 3, 4, 5, 30].map(backoffDelay), [250, 500, 1000, 2000, 4000, 5000, 5000]);
  });
});

describe('formatting', () => {
  test('failures: only result "ok" and a bare true are success', () => {
    assert.equal(failureOf({ result: 'ok', data: null }), null);
    assert.equal(failureOf(true), null);
    assert.equal(failureOf({ result: 'invalid setup' }), 'invalid setup');
    assert.equal(failureOf(null), 'no reply in time');
    assert.equal(failureOf(false), 'the adapter did not answer');
    assert.equal(failureOf({}), 'reply without result');
  });

  test('readings in a fixed order with their units; battery as a percentage', () => {
    const rows = readingRows({ slide: 0.25, headPan: 12.5, focus: 1000, jibTilt: -1 });
    assert.deepEqual(
      rows.map((r) => [r.key, r.text]),
      [
        ['headPan', '12.50°'],
        ['slide', '0.250'],
        ['focus', '1000'],
        ['jibTilt', '-1.00°'],
      ],
    );
    assert.deepEqual(readingRows(null), []);
    assert.equal(batteryText(0.85), '85 %');
    assert.equal(batteryText(undefined), '?');
  });

  test('a required firmware update is not listed again as available', () => {
    const notes = firmwareNotes({
      isRadioFirmwareUpdateRequired: true,
      isRadioFirmwareUpdateAvailable: true,
      radioFirmwareChangelog: 'Initial release.',
      isDeviceFirmwareUpdateRequired: false,
      isDeviceFirmwareUpdateAvailable: true,
      deviceFirmwareChangelog: 'macOS compatibility.',
    });
    assert.deepEqual(notes, [
      { level: 'required', what: 'Radio firmware update required', changelog: 'Initial release.' },
      { level: 'available', what: 'Device firmware update available', changelog: 'macOS compatibility.' },
    ]);
    assert.equal(pairingStateText({ wirelessPairState: 'problem', lastPairError: 'deviceSearchProblem' }), 'problem: deviceSearchProblem');
    assert.equal(pairingStateText({ canbusPairState: 'connecting', lastPairError: 'none' }), 'connecting');
  });
});

describe('server address', () => {
  test('the WebSocket port is the HTTP port + 2 unless named', () => {
    assert.deepEqual(
      [serverAddresses('?port=40000&version=0.9.8', 'h')].map((a) => [a.httpBase, a.wsBase, a.version]),
      [['http://h:40000', 'ws://h:40002', '0.9.8']],
    );
    assert.equal(serverAddresses('?port=40000&ws=41000', 'h').wsBase, 'ws://h:41000');
    // The tray opens the firmware page without a query: the default ports.
    assert.equal(serverAddresses('', '').httpBase, 'http://127.0.0.1:32222');
    assert.equal(serverAddresses('?port=99999', 'h').wsBase, 'ws://h:32224');
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
