// The browser application's entry: reads where the server is, opens the page's one /v2
// connection, shows the links, and for the chosen link either the pairing wizard or the live
// status with its controls. Main thread.
import { AbortControl } from './abort.js';
import { Api } from './api.js';
import { BundleControls } from './controls.js';
import { el, replace } from './dom.js';
import { HealthBoard } from './health_view.js';
import { JogPad } from './jogpad.js';
import { LinksView } from './links.js';
import { MotionView } from './motion_view.js';
import { Notices } from './notices.js';
import { PairingWizard } from './pairing.js';
import { serverAddresses } from './params.js';
import { RpcConnection } from './rpc.js';
import { StatusFeed } from './status_feed.js';
import { StatusView } from './status.js';
import { StudioPanel } from './studio.js';

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
const feed = new StatusFeed(rpc);
const health = new HealthBoard(feed, rpc);

document.getElementById('version').textContent = server.version ? `SDK ${server.version}` : '';
const firmwareHref = `/firmware-update/?${server.query}`;
document.getElementById('firmware-nav').href = firmwareHref;

const detail = document.getElementById('detail');
let view = null; // { key, parts: [objects with destroy()] }
let jogPad = null;

function closeView() {
  for (const part of view?.parts ?? []) part.destroy?.();
  view = null;
  jogPad = null;
}

function showLink(link) {
  const key = link ? `${link.linkID}|${link.isValid}|${link.isPairingDone}` : '';
  if (view && view.key === key) return;
  closeView();
  if (!link) {
    replace(detail, el('p', { class: 'empty', text: 'Choose a link on the left.' }));
    view = { key, parts: [] };
    return;
  }
  if (!link.isValid) {
    replace(detail, el('h2', { text: link.linkID }), el('p', { class: 'banner warning', text: 'This link module is unplugged.' }));
    view = { key, parts: [] };
    return;
  }
  if (!link.isPairingDone) {
    const wizard = new PairingWizard(el('div'), api, notices, link);
    replace(detail, wizard.container);
    view = { key, parts: [wizard] };
    return;
  }
  const statusBox = el('section', { class: 'card status', id: 'status' });
  const jogBox = el('section', { class: 'card jog-card', id: 'jog' });
  const pictureBox = el('section', { class: 'card picture-card', id: 'picture' });
  const plotBox = el('section', { class: 'card plot-card', id: 'plot' });
  const controlsBox = el('div', { class: 'controls', id: 'controls' });
  replace(
    detail,
    el('h2', { class: 'link-title', text: `${link.linkID} — paired (${link.linkConnectionType})` }),
    health.line(link.linkID, { detailed: true }),
    el('div', { class: 'live-grid' }, statusBox, jogBox),
    el('div', { class: 'motion-grid' }, pictureBox, plotBox),
    controlsBox,
  );
  const motion = new MotionView({ pictureBox, plotBox }, { api, feed, linkID: link.linkID });
  jogPad = new JogPad(jogBox, { api, linkID: link.linkID, notices });
  const controls = new BundleControls(controlsBox, {
    api,
    linkID: link.linkID,
    notices,
    onDisconnected: () => links.select(link.linkID),
    onCommand: (request, reply) => motion.noteCommand(request, reply),
  });
  const status = new StatusView(statusBox, rpc, link.linkID, {
    feed,
    onStatus: (data) => {
      if (!data) return;
      jogPad?.update(data.supportedAxes);
      controls.update(data);
    },
  });
  view = { key, parts: [jogPad, status, controls, motion] };
}

const links = new LinksView(document.getElementById('links'), rpc, {
  firmwareHref,
  extra: (link) => health.line(link.linkID),
  onSelect: (link) => showLink(link),
  onChange: (list) => {
    health.track(list);
    if (links.selected === null && list.length > 0) links.select((list.find((l) => l.isValid) ?? list[0]).linkID);
    else showLink(list.find((l) => l.linkID === links.selected) ?? null);
  },
});

new AbortControl(document.getElementById('abort'), {
  api,
  notices,
  beforeAbort: () => jogPad?.jog.release(),
});

// The page's own server says whether the API is open to the network without a key.
fetch('/api-exposure.json')
  .then((reply) => (reply.ok ? reply.json() : null))
  .then((exposure) => {
    const banner = document.getElementById('exposure');
    banner.textContent = exposure?.warning ?? '';
    banner.hidden = !banner.textContent;
  })
  .catch(() => {});

showLink(null);
links.start();
new StudioPanel(document.getElementById('studio'), api).start();
