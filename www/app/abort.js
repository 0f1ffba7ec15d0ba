// The abort control: a button always on screen and the Escape key, both sending motionAbort to
// every paired bundle. Main thread.
import { failureOf } from './format.js';

export class AbortControl {
  /** `pairedLinks()` lists the link IDs to stop; `beforeAbort()` runs first (jog release). */
  constructor(button, { api, notices, pairedLinks, beforeAbort }) {
    this.api = api;
    this.notices = notices;
    this.pairedLinks = pairedLinks;
    this.beforeAbort = beforeAbort;
    button.addEventListener('click', () => this.abort());
    document.addEventListener('keydown', (event) => {
      if (event.key === 'Escape') {
        event.preventDefault();
        this.abort();
      }
    });
  }

  async abort() {
    this.beforeAbort();
    const links = this.pairedLinks();
    if (links.length === 0) {
      this.notices.show('Abort: no paired gear to stop.', 'info');
      return;
    }
    const replies = await Promise.all(links.map((id) => this.api.bundle(id, { command: 'motionAbort' })));
    replies.forEach((reply, i) => {
      const failure = failureOf(reply);
      if (failure) this.notices.show(`motionAbort ${links[i]}: ${failure}`, 'error');
      else this.notices.show(`Motion aborted on ${links[i]}.`, 'info');
    });
  }
}
