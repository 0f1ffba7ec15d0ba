// The page's statuses, one /v2 subscription per link however many views want them: the link's
// health line in the list, the status readings, the plot and the picture all listen here. A
// link is subscribed while anyone listens; a new listener gets the latest status at once.
// Main thread.

// More than a screen refreshes usefully; the server keeps only the newest beyond it.
export const kMaxStatusPerSecond = 30;

// Members every view takes as lists (of objects, but for the slot flags).
const kLists = ['supportedAxes', 'realTimeSupportedAxes', 'calibratedAxes', 'deviceInfo', 'keyposeSlotsFilled'];

/**
 * `data` in the shape the views rely on: an object whose lists are lists and whose "readings"
 * is an object or null; null for anything else. The server never sends otherwise, but a
 * future firmware might, and the page must draw what it can. Returns `data` itself when it is
 * well formed.
 */
export function wellFormed(data) {
  if (data === null || typeof data !== 'object' || Array.isArray(data)) return null;
  let fixed = data;
  const fix = (member, value) => {
    if (fixed === data) fixed = { ...data };
    fixed[member] = value;
  };
  for (const member of kLists) {
    const list = data[member];
    if (list === undefined) continue;
    if (!Array.isArray(list)) fix(member, []);
    else if (member !== 'keyposeSlotsFilled' && !list.every((entry) => entry !== null && typeof entry === 'object')) {
      fix(member, list.filter((entry) => entry !== null && typeof entry === 'object'));
    }
  }
  const readings = data.readings;
  if (readings !== undefined && readings !== null && (typeof readings !== 'object' || Array.isArray(readings))) fix('readings', null);
  return fixed;
}

export class StatusFeed {
  /** `rpc`: the page's RpcConnection; `now()` stamps arrivals (performance.now in the page). */
  constructor(rpc, { now = () => performance.now() } = {}) {
    this.rpc = rpc;
    this.now = now;
    this.links = new Map(); // linkID -> { listeners: Set, latest, arrivedAt, unsubscribe }
  }

  /**
   * `listener(data, arrivedAt)` gets every status "data" of `linkID` (null before the gear has
   * reported), starting with the latest one if there is one. Returns the function that stops it.
   */
  listen(linkID, listener) {
    let link = this.links.get(linkID);
    if (!link) {
      link = { listeners: new Set(), latest: undefined, arrivedAt: 0, unsubscribe: null };
      this.links.set(linkID, link);
      const subscribed = link;
      link.unsubscribe = this.rpc.subscribe({ topic: 'status', linkID, maxRate: kMaxStatusPerSecond }, (data) =>
        this.deliver(subscribed, wellFormed(data)),
      );
    }
    link.listeners.add(listener);
    if (link.latest !== undefined) listener(link.latest, link.arrivedAt);
    return () => {
      link.listeners.delete(listener);
      if (link.listeners.size > 0 || this.links.get(linkID) !== link) return;
      this.links.delete(linkID);
      link.unsubscribe();
    };
  }

  deliver(link, data) {
    link.latest = data;
    link.arrivedAt = this.now();
    for (const listener of [...link.listeners]) {
      try {
        listener(data, link.arrivedAt);
      } catch (error) {
        // A status the views cannot use must not keep it from the others.
        console.error('status listener failed:', error);
      }
    }
  }
}
