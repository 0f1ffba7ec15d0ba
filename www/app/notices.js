// The message list under the header: every reply whose result is not "ok", and other events a
// crew should see. Main thread.
import { el } from './dom.js';
import { failureOf } from './format.js';

const kKept = 6;

export class Notices {
  constructor(container) {
    this.container = container;
  }

  /** Shows `text`; `level` is 'error', 'warning' or 'info'. */
  show(text, level = 'error') {
    const item = el(
      'li',
      { class: `notice ${level}`, role: level === 'error' ? 'alert' : 'status' },
      el('span', { text }),
      el('button', { class: 'dismiss', 'aria-label': 'Dismiss', text: '×', onclick: () => item.remove() }),
    );
    this.container.prepend(item);
    while (this.container.children.length > kKept) this.container.lastElementChild.remove();
  }

  /**
   * Reports `reply` of `command` when it is not ok (and a server message, such as the one for a
   * link command while paired); returns true when the reply was ok.
   */
  report(command, reply) {
    const failure = failureOf(reply);
    if (failure) {
      this.show(`${command}: ${failure}`, 'error');
      return false;
    }
    if (reply && typeof reply === 'object' && reply.message) this.show(`${command}: ${reply.message}`, 'info');
    if (reply && typeof reply === 'object' && reply.acknowledged === false) {
      this.show(`${command}: the gear did not acknowledge`, 'warning');
    }
    return true;
  }
}
