// The command forms of a paired bundle: real-time and dynamic moves, focus, key poses,
// calibration, limits and unpairing. Each form is rebuilt only when the bundle's axes or devices
// change. Main thread.
import { el, numberField, replace } from './dom.js';
import { failureOf } from './format.js';

/** The request key of each status axis name (jib axes are requested as crane axes). */
const kRequestKey = { headPan: 'headPan', headTilt: 'headTilt', slide: 'slide', focus: 'focus', jibPan: 'craneMaxPan', jibTilt: 'craneMaxTilt' };
const kHeads = ['turretAlpha', 'turretBeta', 'turretGamma', 'swivelMax', 'turretAlpha2', 'turretBeta2'];

const requestKeys = (axes) => [...new Set((axes ?? []).map((a) => kRequestKey[a.axis]).filter(Boolean))];

export class BundleControls {
  /** `onCommand(request, reply)` is told of every command sent from the forms and its reply. */
  constructor(container, { api, linkID, notices, onDisconnected, onCommand = () => {} }) {
    this.container = container;
    this.onCommand = onCommand;
    this.api = api;
    this.linkID = linkID;
    this.notices = notices;
    this.onDisconnected = onDisconnected;
    this.shape = null;
    this.output = {};
  }

  async send(body) {
    const reply = await this.api.bundle(this.linkID, body);
    this.notices.report(body.command, reply);
    this.onCommand(body, reply);
    return reply;
  }

  /** Rebuilds the forms when the status shows different axes, devices or slots. */
  update(status) {
    if (!status) return;
    const shape = JSON.stringify([
      status.supportedAxes,
      status.realTimeSupportedAxes,
      (status.deviceInfo ?? []).map((d) => d.type),
      (status.keyposeSlotsFilled ?? []).length,
      status.inclineModeWarningFlag ?? null,
    ]);
    if (shape === this.shape) return;
    this.shape = shape;
    this.status = status;
    replace(
      this.container,
      this.realTimeMove(status),
      this.dynamicMove(status),
      this.focus(status),
      this.keyposes(status),
      this.calibration(status),
      this.limits(),
      this.unpair(),
    );
  }

  section(title, ...content) {
    return el('section', { class: 'card', dataset: { section: title } }, el('h3', { text: title }), ...content);
  }

  /** Number fields for `keys`, and a function that reads them into a request. */
  axisFields(keys, prefix) {
    const fields = keys.map((key) => ({ key, field: numberField(key, { value: '0', name: `${prefix}-${key}` }) }));
    const read = (request) => {
      for (const { key, field } of fields) request[key] = field.value();
      return fields.every(({ field }) => Number.isFinite(field.value()));
    };
    return { nodes: fields.map((f) => f.field.node), read };
  }

  realTimeMove(status) {
    const keys = requestKeys(status.realTimeSupportedAxes);
    if (keys.length === 0) return this.section('Real-time move', el('p', { class: 'hint', text: 'No axis of this bundle takes real-time moves.' }));
    const duration = numberField('duration (s)', { value: '2', min: '0', name: 'rt-duration' });
    const axes = this.axisFields(keys, 'rt');
    const go = async () => {
      const request = { command: 'realTimeMoveFixedDuration', duration: duration.value() };
      if (!axes.read(request) || !Number.isFinite(request.duration)) return this.notices.show('Real-time move: fill in every value.', 'warning');
      await this.send(request);
    };
    return this.section(
      'Real-time move',
      el('p', { class: 'hint', text: 'Every axis moves to its target in the given time (focus in encoder steps).' }),
      el('div', { class: 'fields' }, duration.node, axes.nodes),
      el('button', { class: 'primary', dataset: { action: 'realtime' }, onclick: go }, 'Move'),
    );
  }

  dynamicMove(status) {
    const devices = status.deviceInfo ?? [];
    if (devices.length !== 1 || !kHeads.includes(devices[0].type)) return null;
    const pan = numberField('headPan', { value: '0', name: 'dyn-pan' });
    const tilt = numberField('headTilt', { value: '0', name: 'dyn-tilt' });
    const acceleration = numberField('acceleration', { value: '0.5', name: 'dyn-acc' });
    const amount = numberField('speed or duration (s)', { value: '0.5', name: 'dyn-amount' });
    const go = (command, key) => () =>
      this.send({ command, headPan: pan.value(), headTilt: tilt.value(), acceleration: acceleration.value(), [key]: amount.value() });
    return this.section(
      'Dynamic move (head)',
      el('div', { class: 'fields' }, pan.node, tilt.node, acceleration.node, amount.node),
      el(
        'div',
        { class: 'row' },
        el('button', { onclick: go('dynamicMoveFixedSpeed', 'speed') }, 'At speed'),
        el('button', { onclick: go('dynamicMoveFixedDuration', 'duration') }, 'In duration'),
      ),
    );
  }

  focus(status) {
    if (!(status.supportedAxes ?? []).some((a) => a.axis === 'focus')) return null;
    const step = numberField('step (encoder)', { value: '100', name: 'focus-step' });
    const nudge = (sign) => () => this.send({ command: 'focusManualMove', deltaEnc: sign * step.value() });
    return this.section(
      'Focus',
      el('div', { class: 'fields' }, step.node),
      el('div', { class: 'row' }, el('button', { onclick: nudge(-1) }, 'Focus −'), el('button', { onclick: nudge(+1) }, 'Focus +')),
    );
  }

  keyposes(status) {
    const count = Math.max(1, (status.keyposeSlotsFilled ?? []).filter((s) => typeof s === 'boolean').length);
    const slotSelect = (name) =>
      el('select', { name }, Array.from({ length: count }, (_, i) => el('option', { value: String(i), text: `Pose ${i}` })));
    const index = slotSelect('pose-index');
    const second = slotSelect('pose-index2');
    if (count > 1) second.value = '1';
    const speed = numberField('speed (0–1)', { value: '0.5', name: 'pose-speed' });
    const duration = numberField('duration (s)', { value: '3', name: 'pose-duration' });
    const acceleration = numberField('acceleration', { value: '0.5', name: 'pose-acc' });
    const read = el('pre', { class: 'read-out', 'aria-live': 'polite' });
    const i = () => Number(index.value);
    const storeAxes = this.axisFields(requestKeys(status.supportedAxes), 'pose');
    const storeNumeric = async () => {
      const request = { command: 'keyposeStoreWithNumericData', index: i() };
      if (!storeAxes.read(request)) return this.notices.show('Store values: fill in every axis.', 'warning');
      await this.send(request);
    };
    const readPose = async () => {
      const reply = await this.send({ command: 'keyposeReadNumericValues', index: i() });
      if (reply?.data?.index === -1) read.textContent = `Pose ${i()} is empty.`;
      else read.textContent = reply && reply.data ? JSON.stringify(reply.data, null, 1) : failureOf(reply) ?? '';
    };
    const move = (command, extra) => () => this.send({ command, ...extra(), acceleration: acceleration.value() });
    return this.section(
      'Key poses',
      el('div', { class: 'fields' }, el('label', { class: 'field' }, el('span', { text: 'pose' }), index), el('label', { class: 'field' }, el('span', { text: 'loop with' }), second)),
      el(
        'div',
        { class: 'row' },
        el('button', { dataset: { action: 'pose-store' }, onclick: () => this.send({ command: 'keyposeStoreCurrentPose', index: i() }) }, 'Store here'),
        el('button', { dataset: { action: 'pose-read' }, onclick: readPose }, 'Read'),
        el('button', { dataset: { action: 'pose-delete' }, onclick: () => this.send({ command: 'keyposeDeletePose', index: i() }) }, 'Delete'),
      ),
      el('div', { class: 'fields' }, speed.node, duration.node, acceleration.node),
      el(
        'div',
        { class: 'row' },
        el('button', { class: 'primary', onclick: move('keyposeMoveFixedSpeed', () => ({ index: i(), speed: speed.value() })) }, 'Go at speed'),
        el('button', { class: 'primary', onclick: move('keyposeMoveFixedDuration', () => ({ index: i(), duration: duration.value() })) }, 'Go in duration'),
        el('button', { onclick: move('keyposeLoopFixedSpeed', () => ({ index1: i(), index2: Number(second.value), speed: speed.value() })) }, 'Loop at speed'),
        el('button', { onclick: move('keyposeLoopFixedDuration', () => ({ index1: i(), index2: Number(second.value), duration: duration.value() })) }, 'Loop in duration'),
      ),
      el('details', {}, el('summary', { text: 'Store a pose from values' }), el('div', { class: 'fields' }, storeAxes.nodes), el('button', { onclick: storeNumeric }, 'Store values')),
      read,
    );
  }

  calibration(status) {
    const types = [...new Set((status.deviceInfo ?? []).map((d) => d.type))];
    if (types.length === 0) return null;
    const device = el('select', { name: 'calibrate-device' }, types.map((t) => el('option', { value: t, text: t })));
    const onGround = el('input', { type: 'checkbox', name: 'on-ground' });
    const onLeft = el('input', { type: 'checkbox', name: 'on-left' });
    const jib = numberField('jibLength', { value: '1', step: '1', name: 'jib-length' });
    const rod = numberField('rodLength', { value: '1', step: '1', name: 'rod-length' });
    const rail = el('div', { class: 'fields' }, el('label', { class: 'check' }, onGround, 'on the ground'), el('label', { class: 'check' }, onLeft, 'on the left side'));
    const crane = el('div', { class: 'fields' }, jib.node, rod.node);
    const showExtras = () => {
      rail.hidden = !['railUnit', 'railUnitGen3'].includes(device.value);
      crane.hidden = device.value !== 'craneArm';
    };
    device.addEventListener('change', showExtras);
    showExtras();
    const go = () => {
      const request = { command: 'calibrate', device: device.value };
      if (!rail.hidden) Object.assign(request, { isOnGround: onGround.checked, isOnLeftSide: onLeft.checked });
      if (!crane.hidden) Object.assign(request, { jibLength: Math.trunc(jib.value()), rodLength: Math.trunc(rod.value()) });
      this.send(request);
    };
    return this.section(
      'Calibration',
      el('p', { class: 'hint', text: 'The axes move to their ends: keep the way clear.' }),
      el('div', { class: 'fields' }, el('label', { class: 'field' }, el('span', { text: 'device' }), device)),
      rail,
      crane,
      el(
        'div',
        { class: 'row' },
        el('button', { onclick: go }, 'Calibrate'),
        status.inclineModeWarningFlag
          ? el('button', { onclick: () => this.send({ command: 'railUnitInclineWarningConfirm' }) }, 'Confirm incline warning')
          : null,
      ),
    );
  }

  limits() {
    const table = el('div', { class: 'limits' });
    const readLimits = async () => {
      const reply = await this.send({ command: 'numericLimitValues' });
      if (failureOf(reply)) return;
      const data = reply.data;
      if (data === null) return replace(table, el('p', { class: 'hint', text: 'The bundle reports no axis limits.' }));
      if (data.isDataReady === false) return replace(table, el('p', { class: 'hint', text: 'Limits not ready yet (a rail unit may need calibration).' }));
      const axes = ['pan', 'tilt', 'slide', 'focus', 'jibPan', 'jibTilt'].filter((a) => `${a}MaxLimit` in data);
      replace(
        table,
        el(
          'table',
          {},
          el('tr', {}, el('th', { text: 'axis' }), el('th', { text: 'min' }), el('th', { text: 'max' }), el('th', { text: 'step' })),
          axes.map((a) => el('tr', { dataset: { axis: a } }, el('td', { text: a }), el('td', { text: String(data[`${a}MinLimit`]) }), el('td', { text: String(data[`${a}MaxLimit`]) }), el('td', { text: String(data[`${a}Step`] ?? '–') }))),
        ),
      );
    };
    return this.section(
      'Limits',
      el('p', { class: 'hint', text: 'The bundle reports its axis limits; they follow from its setup and calibration and are not set from here.' }),
      el('button', { onclick: readLimits }, 'Read limits'),
      table,
    );
  }

  unpair() {
    const go = async () => {
      const reply = await this.api.link(this.linkID, { command: 'disconnect' });
      if (this.notices.report('disconnect', reply)) this.onDisconnected();
    };
    return this.section('Link', el('button', { class: 'danger-outline', dataset: { action: 'disconnect' }, onclick: go }, 'Unpair (disconnect)'));
  }
}
