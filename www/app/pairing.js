// The pairing wizard of an unpaired link: over the radio (scan, choose devices and the master,
// create a group or attach to one, follow the pairing status), over the CAN bus (scan, connect,
// follow) or over the RJ45 cable (connect). Main thread; its timers end with destroy().
import { el, replace } from './dom.js';
import { failureOf, pairingStateText } from './format.js';

const kScanPollMs = 1000;
const kStatusPollMs = 500;
const kStatusPollLimit = 120; // a minute of "connecting" is a failure

export class PairingWizard {
  constructor(container, api, notices, link) {
    this.container = container;
    this.api = api;
    this.notices = notices;
    this.linkID = link.linkID;
    this.timers = new Set();
    this.alive = true;
    this.body = el('div', { class: 'wizard-body' });
    const tab = (name, label, start) =>
      el('button', { class: 'tab', dataset: { medium: name }, onclick: () => this.choose(name, start) }, label);
    this.tabs = el(
      'div',
      { class: 'tabs', role: 'tablist' },
      tab('radio', 'Radio', () => this.radio()),
      tab('canbus', 'CAN bus', () => this.canbus()),
      tab('rj45', 'RJ45 cable', () => this.rj45()),
    );
    const blocked = link.isDeviceFirmwareUpdateRequired || link.isRadioFirmwareUpdateRequired;
    replace(
      container,
      el('h2', { text: `Pair ${link.linkID}` }),
      blocked
        ? el('p', { class: 'banner warning', text: 'This link needs a firmware update before it can pair: see Firmware update.' })
        : null,
      el('p', { class: 'hint', text: 'Choose how the gear is connected to the link adapter.' }),
      this.tabs,
      this.body,
    );
    this.choose('radio', () => this.radio());
  }

  destroy() {
    this.alive = false;
    for (const timer of this.timers) clearTimeout(timer);
    this.timers.clear();
  }

  later(fn, ms) {
    const timer = setTimeout(() => {
      this.timers.delete(timer);
      if (this.alive) fn();
    }, ms);
    this.timers.add(timer);
  }

  stopTimers() {
    for (const timer of this.timers) clearTimeout(timer);
    this.timers.clear();
  }

  choose(name, start) {
    this.stopTimers();
    for (const button of this.tabs.children) {
      button.setAttribute('aria-selected', button.dataset.medium === name ? 'true' : 'false');
    }
    start();
  }

  async send(body) {
    const reply = await this.api.link(this.linkID, body);
    this.notices.report(body.command, reply);
    return reply;
  }

  // ---- radio ----

  radio() {
    this.devices = [];
    this.chosen = new Set();
    this.master = null;
    this.scanList = el('div', { class: 'scan-list' }, el('p', { class: 'hint', text: 'Start a scan to find devices.' }));
    this.progress = el('p', { class: 'pair-progress', 'aria-live': 'polite' });
    this.createButton = el('button', { class: 'primary', disabled: true, onclick: () => this.createBundle() }, 'Create group');
    this.attachButton = el('button', { disabled: true, onclick: () => this.attach() }, 'Attach to its group');
    replace(
      this.body,
      el('div', { class: 'row' }, el('button', { class: 'primary', onclick: () => this.startScan() }, 'Scan for devices')),
      this.scanList,
      el(
        'p',
        { class: 'hint', text: 'Tick the devices for a new group and choose its master; or tick one device of an existing group and attach to it.' },
      ),
      el('div', { class: 'row' }, this.createButton, this.attachButton),
      this.progress,
    );
  }

  async startScan() {
    this.stopTimers();
    const reply = await this.send({ command: 'wirelessPairingScanStart' });
    if (failureOf(reply)) return;
    this.pollScan();
  }

  async pollScan() {
    const reply = await this.api.link(this.linkID, { command: 'wirelessPairingScanResults' });
    if (!this.alive) return;
    if (reply && reply.result === 'ok' && Array.isArray(reply.data)) this.renderScan(reply.data);
    else if (reply && reply.message) return this.notices.report('wirelessPairingScanResults', reply);
    this.later(() => this.pollScan(), kScanPollMs);
  }

  renderScan(devices) {
    this.devices = devices;
    const macs = new Set(devices.map((d) => d.mac));
    for (const mac of this.chosen) if (!macs.has(mac)) this.chosen.delete(mac);
    if (this.master && !this.chosen.has(this.master)) this.master = null;
    if (devices.length === 0) {
      replace(this.scanList, el('p', { class: 'hint', text: 'Scanning… no devices yet.' }));
    } else {
      replace(
        this.scanList,
        devices.map((device) => {
          const flags = [
            device.isRadioFirmwareUpdateAvailable ? `radio update: ${device.radioChangelog ?? ''}` : null,
            device.isDeviceFirmwareUpdateAvailable ? `device update: ${device.deviceChangelog ?? ''}` : null,
          ].filter(Boolean);
          return el(
            'div',
            { class: 'scan-entry', dataset: { mac: device.mac } },
            el(
              'label',
              { class: 'check' },
              el('input', {
                type: 'checkbox',
                name: 'device',
                value: device.mac,
                checked: this.chosen.has(device.mac),
                onchange: (e) => this.toggle(device.mac, e.target.checked),
              }),
              el('strong', { text: device.type }),
              ` ${device.setup} · ${device.mac} · ${device.rssi} dBm · group ${device.groupId}`,
            ),
            el(
              'label',
              { class: 'check master' },
              el('input', {
                type: 'radio',
                name: 'master',
                value: device.mac,
                checked: this.master === device.mac,
                onchange: () => this.chooseMaster(device.mac),
              }),
              'master',
            ),
            flags.length ? el('small', { class: 'firmware-flag available', text: flags.join(' · ') }) : null,
          );
        }),
      );
    }
    this.updateButtons();
  }

  toggle(mac, on) {
    if (on) this.chosen.add(mac);
    else this.chosen.delete(mac);
    if (on && !this.master) this.master = mac;
    if (!on && this.master === mac) this.master = [...this.chosen][0] ?? null;
    this.renderScan(this.devices);
  }

  chooseMaster(mac) {
    this.master = mac;
    this.chosen.add(mac);
    this.renderScan(this.devices);
  }

  updateButtons() {
    this.createButton.disabled = this.chosen.size === 0 || this.chosen.size > 4;
    this.attachButton.disabled = this.chosen.size !== 1;
  }

  async createBundle() {
    // The master goes first; the adapter takes up to four devices.
    const macs = [...this.chosen].sort((a, b) => (a === this.master ? -1 : b === this.master ? 1 : 0));
    const master = this.devices.find((d) => d.mac === this.master) ?? this.devices.find((d) => d.mac === macs[0]);
    this.stopTimers();
    const reply = await this.send({
      command: 'wirelessPairingCreateBundle',
      deviceCount: macs.length,
      forcedMasterDevice: master.type,
      macList: macs,
    });
    if (!failureOf(reply)) this.follow('wirelessPairingStatus', 'wirelessPairState');
  }

  async attach() {
    this.stopTimers();
    const reply = await this.send({ command: 'wirelessPairingAttachToBundle', mac: [...this.chosen][0] });
    if (!failureOf(reply)) this.follow('wirelessPairingStatus', 'wirelessPairState');
  }

  /** Asks `command` until its state is connectionOk or problem, showing each answer. */
  follow(command, stateKey, polls = 0) {
    this.later(async () => {
      const reply = await this.api.link(this.linkID, { command });
      if (!this.alive) return;
      if (reply && reply.message) {
        // The link paired while we asked: link commands are refused from then on.
        this.showProgress('connectionOk', 'ok');
        return;
      }
      if (failureOf(reply)) {
        this.showProgress(`${command}: ${failureOf(reply)}`, 'problem');
      } else {
        const state = reply.data?.[stateKey];
        const text = pairingStateText(reply.data);
        if (state === 'connectionOk') {
          this.showProgress(`${text} — waiting for the first status…`, 'ok');
          if (command === 'wirelessPairingStatus') this.api.link(this.linkID, { command: 'wirelessPairingScanStop' });
          return;
        }
        if (state === 'problem') {
          this.showProgress(text, 'problem');
          this.notices.show(`Pairing failed: ${text}`, 'error');
          return;
        }
        this.showProgress(text, 'busy');
      }
      if (polls + 1 >= kStatusPollLimit) {
        this.showProgress('Pairing did not complete.', 'problem');
        return;
      }
      this.follow(command, stateKey, polls + 1);
    }, kStatusPollMs);
  }

  showProgress(text, kind) {
    this.progress.textContent = text;
    this.progress.className = `pair-progress ${kind}`;
    this.progress.dataset.state = kind;
  }

  // ---- CAN bus ----

  canbus() {
    this.canList = el('div', { class: 'scan-list' });
    this.progress = el('p', { class: 'pair-progress', 'aria-live': 'polite' });
    replace(
      this.body,
      el(
        'div',
        { class: 'row' },
        el('button', { class: 'primary', onclick: () => this.canScan() }, 'Scan the CAN bus'),
        el('button', { onclick: () => this.canConnect() }, 'Connect'),
      ),
      this.canList,
      this.progress,
    );
  }

  async canScan() {
    const reply = await this.send({ command: 'link2PairingScanResults' });
    if (failureOf(reply) || !Array.isArray(reply.data)) return;
    replace(
      this.canList,
      reply.data.length === 0
        ? el('p', { class: 'hint', text: 'No device on the bus.' })
        : reply.data.map((d) =>
            el(
              'div',
              { class: 'scan-entry' },
              el('strong', { text: d.type }),
              d.isDeviceFirmwareUpdateAvailable ? el('small', { class: 'firmware-flag available', text: ` update: ${d.changelog ?? ''}` }) : null,
            ),
          ),
    );
  }

  async canConnect() {
    this.stopTimers();
    const reply = await this.send({ command: 'link2PairingConnect' });
    if (!failureOf(reply)) this.follow('link2PairingStatus', 'canbusPairState');
  }

  // ---- RJ45 ----

  rj45() {
    this.progress = el('p', { class: 'pair-progress', 'aria-live': 'polite' });
    replace(
      this.body,
      el('p', { class: 'hint', text: 'Plug the cable into the device, then connect. The link pairs with the first status the device sends.' }),
      el('div', { class: 'row' }, el('button', { class: 'primary', onclick: () => this.rj45Connect() }, 'Connect')),
      this.progress,
    );
  }

  async rj45Connect() {
    const reply = await this.send({ command: 'link1PairingConnect' });
    if (!failureOf(reply)) this.showProgress('Connecting — waiting for the first status…', 'busy');
  }
}
