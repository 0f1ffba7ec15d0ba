// The health line of every paired link, in the Links list and on the link page: fed by the
// statuses the page receives anyway (no extra request) and, where the server offers it, by
// the link's /v2 "health" subscription (a server without it refuses the topic, and the line
// then shows what the statuses tell). Re-checked every 250 ms while any link is watched, so a
// link whose statuses stop turns red within a second; a status re-checks its line at once only
// when the line shows a link that is not reporting freshly, so a steady stream costs no work
// per status beyond noting its arrival. Main thread.
import { el } from './dom.js';
import { healthText, kFreshMs, LinkHealth } from './health.js';

const kCheckMs = 250;
const kInvalidParams = -32602;

export class HealthBoard {
  /** `feed`: the page's StatusFeed; `rpc`: its RpcConnection. */
  constructor(feed, rpc) {
    this.feed = feed;
    this.rpc = rpc;
    this.watched = new Map(); // linkID -> { health, lines: [{ node, detailed }], stop() }
    this.nodes = new Map(); // `${linkID}|${detailed}` -> the line's element, kept across list redraws
    this.timer = null;
    this.open = rpc.isOpen;
    rpc.watch((state) => {
      this.open = state === 'open';
      if (this.open) for (const watched of this.watched.values()) watched.askStatistics?.();
      this.checkAll();
    });
  }

  /** Watches the paired links of `links` (the "links" list) and lets go of the others. */
  track(links) {
    const wanted = new Set(links.filter((l) => l.isValid && l.isPairingDone).map((l) => l.linkID));
    for (const [linkID, watched] of this.watched) {
      if (wanted.has(linkID)) continue;
      watched.stop();
      this.watched.delete(linkID);
      for (const node of this.linesOf(linkID)) this.show(node, null);
    }
    for (const linkID of wanted) if (!this.watched.has(linkID)) this.watch(linkID);
    if (this.watched.size > 0 && this.timer === null) this.timer = setInterval(() => this.checkAll(), kCheckMs);
    if (this.watched.size === 0 && this.timer !== null) {
      clearInterval(this.timer);
      this.timer = null;
    }
  }

  watch(linkID) {
    const health = new LinkHealth(performance.now());
    const watched = { health, fresh: false };
    const unlisten = this.feed.listen(linkID, (data, arrivedAt) => {
      if (data === null) return; // the gear has not reported yet
      health.noteStatus(arrivedAt);
      // A line that reads fresh stays so with this status: the timer updates its rate.
      if (!watched.fresh) this.check(linkID);
    });
    let unsubscribe = null;
    watched.askStatistics = () => {
      if (unsubscribe) return;
      unsubscribe = this.rpc.subscribe(
        { topic: 'health', linkID },
        (data) => {
          health.noteStatistics(data, performance.now());
          this.check(linkID);
        },
        {
          onError: (error) => {
            // Not offered by this server: the statuses alone tell the health. Asked again
            // after a reconnect, which may be to a newer server.
            if (error.code !== kInvalidParams) return;
            unsubscribe?.();
            unsubscribe = null;
          },
        },
      );
    };
    watched.stop = () => {
      unlisten();
      unsubscribe?.();
    };
    this.watched.set(linkID, watched);
    watched.askStatistics();
  }

  linesOf(linkID) {
    return [false, true].map((detailed) => this.nodes.get(`${linkID}|${detailed}`)).filter(Boolean);
  }

  /** The health line of `linkID` (the same element every time); `detailed` adds the statistics. */
  line(linkID, { detailed = false } = {}) {
    const key = `${linkID}|${detailed}`;
    let node = this.nodes.get(key);
    if (!node) {
      // Not a live region: it changes four times a second. Its text says what its colour does.
      node = el('p', { class: `health${detailed ? ' detailed' : ''}`, 'aria-live': 'off', dataset: { link: linkID } });
      node.detailed = detailed;
      this.nodes.set(key, node);
      this.check(linkID);
    }
    return node;
  }

  checkAll() {
    for (const linkID of new Set([...this.nodes.keys()].map((key) => key.slice(0, key.lastIndexOf('|'))))) this.check(linkID);
  }

  check(linkID) {
    const watched = this.watched.get(linkID);
    const figures = watched ? watched.health.figures(performance.now()) : null;
    if (watched) watched.fresh = figures.everReported && figures.statusAgeMs < kFreshMs && figures.statusRate !== null;
    for (const node of this.linesOf(linkID)) this.show(node, figures);
  }

  show(node, figures) {
    const level = !figures ? 'none' : this.open ? figures.level : 'unknown';
    const text = !figures ? '' : this.open ? healthText(figures, { detailed: node.detailed }) : 'server unreachable';
    if (node.dataset.health !== level) {
      node.dataset.health = level;
      node.className = `health ${level}${node.detailed ? ' detailed' : ''}`;
    }
    if (node.textContent !== text) node.textContent = text;
    if (node.hidden !== !figures) node.hidden = !figures;
  }
}
