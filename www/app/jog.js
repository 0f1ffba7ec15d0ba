// Jogging: while a jog control is held, joystickMove is sent again and again (the gear lets go
// of a stick that is not refreshed); on release, and on anything that could hide a release
// (pointer leaving or cancelled, page blurred or hidden), a zero joystickMove stops the axes.
// Pure logic with injectable timers; driven from the main thread.

/** Axis names of the status ("supportedAxes") and the keys joystickMove takes for them. */
const kJogKeyOfAxis = {
  headPan: 'headPan',
  headTilt: 'headTilt',
  slide: 'slide',
  jibPan: 'craneMaxPan',
  jibTilt: 'craneMaxTilt',
};

/** The joystickMove keys the bundle can jog, in status order; focus cannot be jogged. */
export function jogKeys(supportedAxes) {
  const keys = [];
  for (const entry of supportedAxes ?? []) {
    const key = kJogKeyOfAxis[entry.axis];
    if (key && !keys.includes(key)) keys.push(key);
  }
  return keys;
}

/**
 * The members a joystickMove for `key` must carry: pan and tilt of a head go together when the
 * head has both (the bundle refuses one alone), and the crane's pan and tilt always go together.
 */
export function jogGroup(key, supportedKeys) {
  const pairs = [
    ['headPan', 'headTilt'],
    ['craneMaxPan', 'craneMaxTilt'],
  ];
  for (const pair of pairs) {
    if (!pair.includes(key)) continue;
    const both = pair[0].startsWith('crane') || pair.every((k) => supportedKeys.includes(k));
    return both ? pair : [key];
  }
  return [key];
}

/** The joystickMove request that moves `key` at `value` (−1..1) and holds its partners still. */
export function joystickMessage(key, value, supportedKeys) {
  const message = { command: 'joystickMove' };
  for (const member of jogGroup(key, supportedKeys)) message[member] = member === key ? value : 0;
  return message;
}

/** The joystickMove request that stops the group of `key`. */
export function stopMessage(key, supportedKeys) {
  return joystickMessage(key, 0, supportedKeys);
}

export class Jog {
  /**
   * `send(message, { repeat })` delivers a joystickMove; repeats may be skipped by the sender
   * while an earlier one is unanswered, stops must always go out.
   */
  constructor({
    send,
    intervalMs = 150,
    setInterval: every = globalThis.setInterval.bind(globalThis),
    clearInterval: cancel = globalThis.clearInterval.bind(globalThis),
  }) {
    this.send = send;
    this.intervalMs = intervalMs;
    this.every = every;
    this.cancel = cancel;
    this.held = null; // { key, value, supportedKeys, timer }
  }

  /** The key being jogged, or null. */
  get active() {
    return this.held ? this.held.key : null;
  }

  /** Starts jogging `key` at `value`; a different axis held before is stopped first. */
  press(key, value, supportedKeys) {
    if (this.held && this.held.key === key && this.held.value === value) return;
    this.release();
    const message = joystickMessage(key, value, supportedKeys);
    const timer = this.every(() => this.send(message, { repeat: true }), this.intervalMs);
    this.held = { key, value, supportedKeys, timer };
    this.send(message, { repeat: false });
  }

  /** Stops whatever is held (no effect when nothing is). */
  release() {
    const held = this.held;
    if (!held) return;
    this.held = null;
    this.cancel(held.timer);
    this.send(stopMessage(held.key, held.supportedKeys), { repeat: false });
  }
}
