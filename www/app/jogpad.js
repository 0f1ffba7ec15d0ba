// The jog controls of a paired bundle: one pair of hold-to-move buttons per axis, sending
// joystickMove to /v1/bundle/<linkID> while held (a "call" on the page's /v2 connection, HTTP
// when it is down) and a zero joystickMove on every way a hold can end. Main thread; destroy()
// releases.
import { el, replace } from './dom.js';
import { failureOf } from './format.js';
import { Jog, jogKeys } from './jog.js';

// Replies that mean the connection lost the message: a stop then goes again over HTTP.
const kConnectionFailures = new Set(['connection closed', 'no reply']);

const kLabels = {
  headPan: ['Pan left', 'Pan right'],
  headTilt: ['Tilt down', 'Tilt up'],
  slide: ['Slide −', 'Slide +'],
  craneMaxPan: ['Jib left', 'Jib right'],
  craneMaxTilt: ['Jib down', 'Jib up'],
};

export class JogPad {
  constructor(container, { api, linkID, notices }) {
    this.container = container;
    this.api = api;
    this.linkID = linkID;
    this.notices = notices;
    this.keys = [];
    this.busy = false;
    this.jog = new Jog({ send: (message, options) => this.send(message, options) });
    this.speed = el('input', { type: 'range', min: '0.05', max: '1', step: '0.05', value: '0.5', 'aria-label': 'Jog speed' });
    this.speedText = el('output', { text: '50 %' });
    this.speed.addEventListener('input', () => (this.speedText.textContent = `${Math.round(this.speed.value * 100)} %`));
    this.pad = el('div', { class: 'jog-pad' });
    replace(
      container,
      el('h2', { text: 'Jog' }),
      el('p', { class: 'hint', text: 'Hold a button (or focus it and hold Space or Enter) to move; let go to stop.' }),
      el('label', { class: 'field speed' }, el('span', { text: 'Speed' }), this.speed, this.speedText),
      this.pad,
    );
    // Whatever hides a release stops the gear.
    this.stop = () => {
      this.jog.release();
      for (const button of this.pad.querySelectorAll('.jog.held')) button.classList.remove('held');
    };
    this.onVisibility = () => {
      if (document.visibilityState !== 'visible') this.stop();
    };
    window.addEventListener('blur', this.stop);
    window.addEventListener('pagehide', this.stop);
    document.addEventListener('visibilitychange', this.onVisibility);
  }

  destroy() {
    this.jog.release();
    window.removeEventListener('blur', this.stop);
    window.removeEventListener('pagehide', this.stop);
    document.removeEventListener('visibilitychange', this.onVisibility);
  }

  /** Shows buttons for the axes in the status's supportedAxes (rebuilt only when they change). */
  update(supportedAxes) {
    const keys = jogKeys(supportedAxes);
    if (keys.join() === this.keys.join()) return;
    this.jog.release();
    this.keys = keys;
    replace(
      this.pad,
      keys.length === 0
        ? el('p', { class: 'hint', text: 'This bundle has no axis to jog.' })
        : keys.map((key) =>
            el(
              'div',
              { class: 'jog-axis' },
              this.button(key, -1, (kLabels[key] ?? [key, key])[0]),
              this.button(key, +1, (kLabels[key] ?? [key, key])[1]),
            ),
          ),
    );
  }

  button(key, direction, label) {
    const press = () => {
      this.jog.press(key, direction * Number(this.speed.value), this.keys);
      for (const other of this.pad.querySelectorAll('.jog.held')) other.classList.remove('held');
      button.classList.add('held');
    };
    const release = () => {
      this.jog.release();
      button.classList.remove('held');
    };
    const button = el('button', {
      class: 'jog',
      dataset: { jog: key, direction: direction > 0 ? 'plus' : 'minus' },
      text: label,
      onpointerdown: (event) => {
        event.preventDefault();
        button.setPointerCapture?.(event.pointerId);
        press();
      },
      onpointerup: release,
      onpointercancel: release,
      onlostpointercapture: release,
      onpointerleave: release,
      onblur: release,
      oncontextmenu: (event) => event.preventDefault(),
      onkeydown: (event) => {
        if (event.key !== ' ' && event.key !== 'Enter') return;
        event.preventDefault();
        if (!event.repeat) press();
      },
      onkeyup: (event) => {
        if (event.key === ' ' || event.key === 'Enter') release();
      },
    });
    return button;
  }

  async send(message, { repeat }) {
    // Refreshes wait for the previous answer so that a stop never queues behind a backlog.
    if (repeat && this.busy) return;
    this.busy = true;
    let reply = await this.api.bundle(this.linkID, message);
    this.busy = false;
    if (!repeat && kConnectionFailures.has(failureOf(reply))) reply = await this.api.bundle(this.linkID, message, { http: true });
    // joystickMove with nothing to send answers null: not a failure.
    if (reply !== null && failureOf(reply) && !repeat) this.notices.report('joystickMove', reply);
  }
}
