// The stored values of a bundle's filled key-pose slots, so the picture can show where each
// pose is: read with keyposeReadNumericValues when the link page opens, when a slot fills, and
// when the page stores a pose again. One read at a time, in the background (no notices).
// Main thread; the reads go through the page's Api.
import { axisValues } from './motion_axes.js';

export class KeyposeValues {
  /** `onChange()` is told whenever a slot's values become known or go. */
  constructor(api, linkID, { onChange = () => {} } = {}) {
    this.api = api;
    this.linkID = linkID;
    this.onChange = onChange;
    this.values = new Map(); // slot index -> axis values by reading key
    this.filled = null; // the slot flags of the last status, null before the first
    this.queue = [];
    this.reading = false;
    this.alive = true;
  }

  destroy() {
    this.alive = false;
    this.queue.length = 0;
  }

  /** Takes a status's "keyposeSlotsFilled": reads the slots that filled, forgets the emptied. */
  sync(slotsFilled) {
    if (!Array.isArray(slotsFilled)) return;
    const first = this.filled === null;
    let forgot = false;
    slotsFilled.forEach((filled, index) => {
      if (filled === true && (first || this.filled[index] !== true)) this.reread(index);
      if (filled !== true && this.values.delete(index)) forgot = true;
    });
    this.filled = slotsFilled.slice();
    if (forgot) this.onChange();
  }

  /** Reads slot `index` again (the page stored it anew). */
  reread(index) {
    if (!this.queue.includes(index)) this.queue.push(index);
    this.pump();
  }

  async pump() {
    if (this.reading) return;
    this.reading = true;
    while (this.alive && this.queue.length > 0) {
      const index = this.queue.shift();
      const reply = await this.api.bundle(this.linkID, { command: 'keyposeReadNumericValues', index });
      if (!this.alive) break;
      const data = reply && typeof reply === 'object' ? reply.data : null;
      if (reply?.result === 'ok' && data?.index === index) {
        this.values.set(index, axisValues(data));
        this.onChange();
      } else if (data?.index === -1 && this.values.delete(index)) {
        this.onChange(); // the slot is empty after all
      }
    }
    this.reading = false;
  }
}
