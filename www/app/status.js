// Live status of a paired bundle: subscribed to its status on the page's /v2 connection, which
// pushes every status the bundle decodes (thinned to what a page can show), and renders each.
// The page's connection renews the subscription after a reconnect. Main thread; destroy() ends
// the subscription.
import { el, replace } from './dom.js';
import { activityText, batteryText, progressFraction, readingRows } from './format.js';

// More than a screen refreshes usefully; the server keeps only the newest beyond it.
const kMaxStatusPerSecond = 30;

export class StatusView {
  /** `onStatus(data)` gets every status "data" (null before the gear has reported). */
  constructor(container, rpc, linkID, { onStatus = () => {} } = {}) {
    this.container = container;
    this.onStatus = onStatus;
    this.alive = true;
    this.connection = el('span', { class: 'badge', text: 'connecting' });
    this.readings = el('div', { class: 'readings', 'aria-live': 'off' });
    this.details = el('div', { class: 'status-details' });
    replace(
      container,
      el('div', { class: 'panel-head' }, el('h2', { text: 'Status' }), this.connection),
      this.readings,
      this.details,
    );
    this.render(null);
    this.unwatch = rpc.watch((state) => this.setConnection(state));
    this.unsubscribe = rpc.subscribe({ topic: 'status', linkID, maxRate: kMaxStatusPerSecond }, (data) => {
      if (!this.alive) return;
      this.render(data ?? null);
      this.onStatus(data ?? null);
    });
  }

  destroy() {
    this.alive = false;
    this.unwatch();
    this.unsubscribe();
  }

  setConnection(state) {
    const text = { open: 'live', connecting: 'connecting…', closed: 'reconnecting…' }[state] ?? state;
    this.connection.textContent = text;
    this.connection.className = `badge ${state === 'open' ? 'live' : 'down'}`;
    this.container.dataset.connection = state;
  }

  render(data) {
    if (!data) {
      replace(this.readings, el('p', { class: 'hint', text: 'Waiting for the first status from the gear…' }));
      replace(this.details);
      return;
    }
    // The gear's own clock (ms), to tell a fresh status from a repeated one.
    this.container.dataset.deviceTime = String(data.timestampDevice ?? '');
    const rows = readingRows(data.readings);
    replace(
      this.readings,
      rows.length === 0
        ? el('p', { class: 'hint', text: 'No axis reported.' })
        : rows.map((row) =>
            el(
              'div',
              { class: 'reading', dataset: { axis: row.key } },
              el('span', { class: 'reading-label', text: row.label }),
              el('span', { class: 'reading-value', text: row.text }),
            ),
          ),
    );
    const slots = Array.isArray(data.keyposeSlotsFilled) ? data.keyposeSlotsFilled : [];
    const progress = progressFraction(data.plannedMotionProgress);
    replace(
      this.details,
      el(
        'div',
        { class: 'state-line' },
        el('span', { class: `activity ${data.state}`, dataset: { state: data.state }, text: activityText(data.state) }),
        data.deviceInfoEverythingReady ? null : el('span', { class: 'badge down', text: 'devices starting' }),
        data.keyposeLoopActive ? el('span', { class: 'badge', text: 'looping' }) : null,
        data.inclineModeWarningFlag ? el('span', { class: 'badge down', text: `incline ${data.inclineMode}: confirm` }) : null,
        data.parkMode !== undefined ? el('span', { class: 'badge', text: `park: ${data.parkMode}` }) : null,
      ),
      el(
        'div',
        { class: 'progress-line' },
        el('progress', { max: 1, value: progress, 'aria-label': 'Motion progress' }),
        el('span', {
          text: `${Math.round(progress * 100)} % of ${Number(data.plannedMotionDuration ?? 0).toFixed(1)} s`
            + (data.keyposeMotionAimIndex >= 0 ? ` → pose ${data.keyposeMotionAimIndex}` : ''),
        }),
      ),
      el(
        'div',
        { class: 'slots', 'aria-label': 'Key-pose slots' },
        slots.map((filled, index) =>
          el('span', { class: `slot ${filled === true ? 'filled' : 'empty'}`, title: filled === true ? 'stored' : 'empty', text: String(index) }),
        ),
      ),
      el(
        'ul',
        { class: 'devices' },
        (data.deviceInfo ?? []).map((device) =>
          el(
            'li',
            {},
            el('strong', { text: device.type }),
            device.isTilted ? ' (tilted)' : '',
            el('span', { class: 'battery', text: `Battery ${batteryText(device.batteryLevel)}` }),
          ),
        ),
      ),
      el('p', {
        class: 'hint',
        text: `Calibrated: ${(data.calibratedAxes ?? []).map((a) => a.axis).join(', ') || 'none'}`,
      }),
    );
  }
}
