// The link list: subscribed to the server's "links" notifications (the list at once, then on
// every change), shows each link with its state and firmware flags, and tells the page which
// link is chosen. Main thread.
import { el, replace } from './dom.js';
import { firmwareNotes, linkStateText } from './format.js';

export class LinksView {
  /** `rpc`: the page's RpcConnection. `onChange(links)` is called with every list received. */
  /** `extra(link)` may give a node to show in the link's card (its health line). */
  constructor(container, rpc, { onSelect, onChange, firmwareHref, extra = () => null }) {
    this.container = container;
    this.extra = extra;
    this.rpc = rpc;
    this.onSelect = onSelect;
    this.onChange = onChange;
    this.firmwareHref = firmwareHref;
    this.links = [];
    this.selected = null;
  }

  start() {
    this.rpc.subscribe({ topic: 'links' }, (data) => {
      if (!Array.isArray(data)) return;
      this.links = data;
      this.render();
      this.onChange(this.links);
    });
    // Until the next list arrives, what is shown may be out of date.
    this.rpc.watch((state) => {
      if (state === 'closed') this.renderUnavailable('unreachable');
    });
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
          this.extra(link),
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
