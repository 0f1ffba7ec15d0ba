// The abort control: a button always on screen and the Escape key, both sending motionAbortAll
// to the device service, which stops every paired bundle at once. Main thread.
import { failureOf } from './format.js';

export class AbortControl {
  /** `beforeAbort()` runs first (jog release). */
  constructor(button, { api, notices, beforeAbort }) {
    this.api = api;
    this.notices = notices;
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
    const reply = await this.api.device({ command: 'motionAbortAll' });
    const failure = failureOf(reply);
    if (failure) {
      this.notices.show(`motionAbortAll: ${failure}`, 'error');
      return;
    }
    const bundles = Array.isArray(reply.data) ? reply.data : [];
    if (bundles.length === 0) {
      this.notices.show('Abort: no paired gear to stop.', 'info');
      return;
    }
    for (const bundle of bundles) {
      const bundleFailure = failureOf(bundle);
      if (bundleFailure) this.notices.show(`motionAbort ${bundle.linkID}: ${bundleFailure}`, 'error');
      else if (bundle.acknowledged === false) this.notices.show(`Motion abort sent to ${bundle.linkID}, not acknowledged.`, 'error');
      else this.notices.show(`Motion aborted on ${bundle.linkID}.`, 'info');
    }
  }
}
