// Live status of a paired bundle: listens to its statuses on the page's status feed (the /v2
// subscription, which pushes every status the bundle decodes, thinned to what a page can show)
// and renders the newest in the page's next drawing pass. Main thread; destroy() stops listening.
import { el, replace } from './dom.js';
import { activityText, batteryText, progressFraction, readingRows } from './format.js';
import { drawSoon } from './frame.js';

export class StatusView {
  /**
   * `feed`: the page's StatusFeed. `onStatus(data)` gets the status "data" drawn in each frame
   * (null before the gear has reported).
   */
  constructor(container, rpc, linkID, { feed, onStatus = () => {} } = {}) {
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
    this.unsubscribe = feed.listen(linkID, (data, arrivedAt) => {
      drawSoon(
        `status:${linkID}`,
        () => {
          if (!this.alive) return;
          this.render(data);
          this.onStatus(data);
        },
        arrivedAt,
      );
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

  // A status comes many times a second and mostly repeats the last: the readings are updated
  // in place and the rest is built again only when what it shows changed.
  render(data) {
    if (!data) {
      this.shownAxes = null;
      this.shownDetails = null;
      replace(this.readings, el('p', { class: 'hint', text: 'Waiting for the first status from the gear…' }));
      replace(this.details);
      return;
    }
    // The gear's own clock (ms), to tell a fresh status from a repeated one: a property, not an
    // attribute, since an attribute written with every status has the page check its styles.
    this.container.deviceTime = data.timestampDevice;
    this.renderReadings(readingRows(data.readings));
    const progress = progressFraction(data.plannedMotionProgress);
    const progressText =
      `${Math.round(progress * 100)} % of ${Number(data.plannedMotionDuration ?? 0).toFixed(1)} s` +
      (data.keyposeMotionAimIndex >= 0 ? ` → pose ${data.keyposeMotionAimIndex}` : '');
    const shown = JSON.stringify([
      data.state,
      data.deviceInfoEverythingReady,
      data.keyposeLoopActive,
      data.inclineModeWarningFlag,
      data.inclineMode,
      data.parkMode,
      data.keyposeSlotsFilled,
      data.deviceInfo,
      data.calibratedAxes,
    ]);
    if (shown !== this.shownDetails) {
      this.shownDetails = shown;
      this.renderDetails(data);
    }
    if (this.progressBar.value !== progress) this.progressBar.value = progress;
    if (this.progressText.textContent !== progressText) this.progressText.textContent = progressText;
  }

  renderReadings(rows) {
    const axes = rows.map((row) => row.key).join();
    if (axes !== this.shownAxes) {
      this.shownAxes = axes;
      this.values = new Map();
      replace(
        this.readings,
        rows.length === 0
          ? el('p', { class: 'hint', text: 'No axis reported.' })
          : rows.map((row) => {
              const value = el('span', { class: 'reading-value' });
              this.values.set(row.key, value);
              return el('div', { class: 'reading', dataset: { axis: row.key } }, el('span', { class: 'reading-label', text: row.label }), value);
            }),
      );
    }
    for (const row of rows) {
      const value = this.values.get(row.key);
      if (value.textContent !== row.text) value.textContent = row.text;
    }
  }

  renderDetails(data) {
    const slots = Array.isArray(data.keyposeSlotsFilled) ? data.keyposeSlotsFilled : [];
    this.progressBar = el('progress', { max: 1, value: 0, 'aria-label': 'Motion progress' });
    this.progressText = el('span');
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
      el('div', { class: 'progress-line' }, this.progressBar, this.progressText),
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
