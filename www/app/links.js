// The link list: asks the device service for linkStatus every 1.5 s, shows each link with its
// state and firmware flags, and tells the page which link is chosen. Main thread.
import { el, replace } from './dom.js';
import { firmwareNotes, linkStateText } from './format.js';

const kPollMs = 1500;

export class LinksView {
  /** `onChange(links)` is called after every successful poll. */
  constructor(container, api, { onSelect, onChange, firmwareHref }) {
    this.container = container;
    this.api = api;
    this.onSelect = onSelect;
    this.onChange = onChange;
    this.firmwareHref = firmwareHref;
    this.links = [];
    this.selected = null;
    this.timer = null;
  }

  start() {
    const poll = async () => {
      const reply = await this.api.device({ command: 'linkStatus' });
      if (reply && reply.result === 'ok' && Array.isArray(reply.data)) {
        this.links = reply.data;
        this.render();
        this.onChange(this.links);
      } else if (reply?.result === 'unreachable' || reply?.result === 'offline') {
        this.renderUnavailable(reply.result);
      }
      this.timer = setTimeout(poll, kPollMs);
    };
    poll();
  }

  select(linkID) {
    this.selected = linkID;
    this.render();
    this.onSelect(this.links.find((l) => l.linkID === linkID) ?? null);
  }

  renderUnavailable(why) {
    replace(
      this.container,
      el('p', { class: 'empty', text: why === 'offline' ? 'The device service is offline.' : 'Server unreachable.' }),
    );
  }

  render() {
    if (this.links.length === 0) {
      replace(this.container, el('p', { class: 'empty', text: 'No link module found. Plug in a link adapter.' }));
      return;
    }
    replace(
      this.container,
      this.links.map((link) => {
        const notes = firmwareNotes(link);
        const state = !link.isValid ? 'gone' : link.isPairingDone ? 'paired' : 'unpaired';
        const chosen = link.linkID === this.selected;
        return el(
          'div',
          { class: `link-card ${state}${chosen ? ' selected' : ''}`, dataset: { link: link.linkID, state } },
          el(
            'button',
            { class: 'link-open', 'aria-pressed': chosen ? 'true' : 'false', onclick: () => this.select(link.linkID) },
            el('span', { class: 'link-id', text: link.linkID }),
            el('span', { class: 'link-type', text: link.linkType === 'stopMotionModule' ? 'Stop-motion module' : 'Link adapter' }),
            el('span', { class: 'link-state', text: linkStateText(link) }),
          ),
          notes.map((note) =>
            el(
              'p',
              { class: `firmware-flag ${note.level}` },
              note.what,
              note.changelog ? el('small', { text: ` — ${note.changelog}` }) : null,
            ),
          ),
          notes.length ? el('a', { class: 'firmware-link', href: this.firmwareHref, text: 'Firmware update…' }) : null,
        );
      }),
    );
  }
}
