// The firmware update page: the links with their firmware flags (pushed on the page's /v2
// connection), the radio firmware update of a link adapter and the device (controller) firmware
// update, each followed to its end. Main thread.
import { Api } from './api.js';
import { el, replace } from './dom.js';
import { failureOf, firmwareNotes, linkStateText } from './format.js';
import { Notices } from './notices.js';
import { serverAddresses } from './params.js';
import { RpcConnection } from './rpc.js';

const kStatusPollMs = 1000;

const kDeviceStatusText = {
  none: 'No update started.',
  running: 'Updating… keep the adapter plugged in.',
  finished: 'Finished: the adapter restarts with its new firmware.',
  error: 'The update failed (or the update tool could not run).',
  multipleDFUDevice: 'More than one adapter is in update mode: plug in only one.',
  noDevice: 'No adapter in update mode was found.',
};

const server = serverAddresses(location.search, location.hostname);
const notices = new Notices(document.getElementById('notices'));
const reachability = document.getElementById('server-state');
function showReachable(reachable) {
  document.body.classList.toggle('offline', !reachable);
  reachability.textContent = reachable ? `Server ${server.httpBase.replace('http://', '')}` : 'Server unreachable';
  reachability.className = `badge ${reachable ? 'live' : 'down'}`;
}
const rpc = new RpcConnection(`${server.wsBase}/v2`);
rpc.watch((state) => {
  if (state !== 'connecting') showReachable(state === 'open');
});
const api = new Api(server.httpBase, showReachable, rpc);
document.getElementById('version').textContent = server.version ? `SDK ${server.version}` : '';
document.getElementById('app-nav').href = `/?${server.query}`;

const table = document.getElementById('fw-links');
let links = [];
const radioStatus = new Map(); // linkID -> RadioUpdateStatus name
const following = new Set(); // linkIDs whose radio update is being followed
let shown = '';

function render() {
  const signature = JSON.stringify([links, [...radioStatus]]);
  if (signature === shown) return;
  shown = signature;
  if (links.length === 0) {
    replace(table, el('tr', {}, el('td', { colspan: 4, class: 'empty', text: 'No link module found.' })));
    return;
  }
  replace(
    table,
    links.map((link) => {
      const notes = firmwareNotes(link);
      const status = radioStatus.get(link.linkID) ?? 'none';
      const canUpdate = link.isValid && link.linkType === 'linkAdapter' && status !== 'running';
      return el(
        'tr',
        { dataset: { link: link.linkID } },
        el('td', {}, el('strong', { text: link.linkID }), el('div', { class: 'hint', text: linkStateText(link) })),
        el(
          'td',
          {},
          notes.length === 0
            ? el('span', { class: 'hint', text: 'Up to date.' })
            : notes.map((n) => el('p', { class: `firmware-flag ${n.level}` }, n.what, n.changelog ? el('small', { text: ` — ${n.changelog}` }) : null)),
        ),
        el('td', {}, el('span', { class: 'fw-status radio-status', dataset: { status }, text: `Radio update: ${status}` })),
        el(
          'td',
          {},
          el('button', { class: 'primary', dataset: { action: 'radio-update' }, disabled: !canUpdate, onclick: () => startRadio(link.linkID) }, 'Update radio firmware'),
        ),
      );
    }),
  );
}

function takeLinks(data) {
  if (!Array.isArray(data)) return;
  const known = new Set(links.map((l) => l.linkID));
  links = data;
  for (const link of links) {
    if (!known.has(link.linkID) && link.isValid && link.linkType === 'linkAdapter') followRadio(link.linkID);
  }
  render();
}

async function startRadio(linkID) {
  if (!window.confirm(`Update the radio firmware of ${linkID}? The link is unpaired while it runs and must be paired again afterwards.`)) return;
  const reply = await api.link(linkID, { command: 'startLinkRadioFirmwareUpdate' });
  if (!notices.report('startLinkRadioFirmwareUpdate', reply)) return;
  radioStatus.set(linkID, reply.status ?? 'running');
  render();
  followRadio(linkID);
}

/**
 * Asks linkRadioFirmwareUpdateStatus until the update is not running; an update seen running
 * is announced when it ends. A link that does not answer is asked again only while its update
 * was seen running.
 */
async function followRadio(linkID) {
  if (following.has(linkID)) return;
  following.add(linkID);
  let sawRunning = radioStatus.get(linkID) === 'running';
  try {
    for (;;) {
      const reply = await api.link(linkID, { command: 'linkRadioFirmwareUpdateStatus' });
      const status = reply && reply.result === 'ok' ? reply.status : null;
      if (status) {
        radioStatus.set(linkID, status);
        render();
      }
      if (status === 'running') sawRunning = true;
      else if (status && sawRunning) {
        notices.show(`Radio firmware update of ${linkID}: ${status}`, status === 'finished' ? 'info' : 'error');
        return;
      } else if (!sawRunning) return;
      await new Promise((resolve) => setTimeout(resolve, kStatusPollMs));
    }
  } finally {
    following.delete(linkID);
  }
}

const deviceStatus = document.getElementById('device-status');
const deviceButton = document.getElementById('device-update');

function showDeviceStatus(status) {
  deviceStatus.dataset.status = status;
  deviceStatus.textContent = `${status}: ${kDeviceStatusText[status] ?? ''}`;
  deviceButton.disabled = status === 'running';
}

async function followDevice() {
  for (;;) {
    const reply = await api.device({ command: 'linkDeviceFirmwareUpdateStatus' });
    if (reply && reply.result === 'ok' && reply.status) {
      showDeviceStatus(reply.status);
      if (reply.status !== 'running') return;
    }
    await new Promise((resolve) => setTimeout(resolve, kStatusPollMs));
  }
}

deviceButton.addEventListener('click', async () => {
  if (!window.confirm('Start the device firmware update? The adapter must be in update (DFU) mode.')) return;
  const reply = await api.device({ command: 'startLinkDeviceFirmwareUpdate' });
  if (!notices.report('startLinkDeviceFirmwareUpdate', reply)) return;
  showDeviceStatus('running');
  followDevice();
});

rpc.subscribe({ topic: 'links' }, takeLinks);
followDevice();
