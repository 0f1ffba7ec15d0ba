// The "Studio" panel: what the FreeD output, the OSC and VISCA inputs and the MQTT client are
// set to and doing, from the device service's studioStatus every 2 s. Main thread.
import { el, replace } from './dom.js';

const kPollMs = 2000;

/** The MQTT client's state in a few words: off, connected to the URL, retrying with the last error. */
export function mqttText(mqtt) {
  switch (mqtt?.state) {
    case 'connected':
      return `connected to ${mqtt.url}`;
    case 'connecting':
      return `connecting to ${mqtt.url}`;
    case 'retrying':
      return `retrying ${mqtt.url}: ${mqtt.lastError}`;
    default:
      return mqtt?.lastError ? `off: ${mqtt.lastError}` : 'off';
  }
}

/** The panel's [label, text] rows for a studioStatus "data". */
export function studioRows(data) {
  const { freed, osc, visca } = data;
  const ids = Object.entries(freed.cameraIds ?? {});
  const viscaPorts = Object.entries(visca?.ports ?? {});
  return [
    ['FreeD targets', freed.targets.length ? freed.targets.join(', ') : 'off'],
    ['FreeD rate', `${freed.rate} packets/s`],
    ['Camera ids', ids.length ? ids.map(([link, id]) => `${link} → ${id}`).join(', ') : '—'],
    ['Packets sent', String(freed.packetsSent)],
    ['OSC port', osc.port ? `${osc.address}:${osc.port}${osc.running ? '' : ' (not running)'}` : 'off'],
    ['OSC received', `${osc.messagesReceived} (${osc.messagesDropped} untrusted dropped)`],
    ['VISCA ports', viscaPorts.length ? viscaPorts.map(([link, port]) => `${link} → ${visca.address}:${port}`).join(', ') + (visca.running ? '' : ' (not running)') : 'off'],
    ['VISCA received', visca ? `${visca.datagrams} (${visca.untrusted} untrusted, ${visca.refused} refused, ${visca.errors} errors)` : '—'],
    ['MQTT', mqttText(data.mqtt)],
    ['Last error', data.lastError || '—'],
  ];
}

export class StudioPanel {
  constructor(container, api) {
    this.container = container;
    this.api = api;
    this.timer = null;
    this.shown = undefined; // the rows drawn, as JSON
  }

  start() {
    const poll = async () => {
      const reply = await this.api.device({ command: 'studioStatus' });
      const rows = reply?.result === 'ok' && reply.data ? studioRows(reply.data) : null;
      // Built again only when what it shows changed: mostly it does not, and a rebuilt panel
      // lays out the page.
      const shown = JSON.stringify(rows);
      if (shown !== this.shown) {
        this.shown = shown;
        replace(
          this.container,
          el('h2', { text: 'Studio' }),
          rows
            ? el('dl', { class: 'studio' }, rows.map(([label, text]) => el('div', { class: 'studio-row' }, el('dt', { text: label }), el('dd', { text }))))
            : el('p', { class: 'empty', text: 'Studio outputs not reachable.' }),
        );
      }
      this.timer = setTimeout(poll, kPollMs);
    };
    poll();
  }

  destroy() {
    clearTimeout(this.timer);
  }
}
