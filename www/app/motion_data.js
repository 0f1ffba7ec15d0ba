// The plot's data: the last seconds of every axis as the columns the chart draws, and the
// start and planned end of each move seen in that time. Pure; tested without a browser.
import { cleanValue } from './motion_axes.js';

// Points older than the window are dropped in batches of at least this many, so a status
// costs no copying of the columns.
const kTrimBatch = 64;
const kPlannedMoves = new Set(['realTimeMove', 'keyposeMove']);

/** The seconds (since 1970) a status describes: the server's stamp, else the page's clock. */
export function statusTime(status, nowMs = Date.now()) {
  const stamp = status?.timestampEpoch;
  return (typeof stamp === 'number' && Number.isFinite(stamp) && stamp > 0 ? stamp : nowMs) / 1000;
}

/** The last `seconds` of the axes `keys`: `data` is [times, values of keys[0], ...], null where unknown. */
export class TimeWindow {
  constructor(keys, { seconds = 30 } = {}) {
    this.keys = keys;
    this.seconds = seconds;
    this.data = [[], ...keys.map(() => [])];
  }

  get times() {
    return this.data[0];
  }

  /** The time of the newest point, or null. */
  get end() {
    return this.times.length ? this.times.at(-1) : null;
  }

  /** Adds the point of `readings` at `time` (seconds); a clock that went far back starts afresh. */
  push(time, readings) {
    if (!Number.isFinite(time)) return;
    const last = this.end;
    if (last !== null && time < last - 1) this.clear();
    // The chart needs rising times: a stamp equal to or a little behind the last goes just after it.
    else if (last !== null && time <= last) time = last + 0.001;
    this.times.push(time);
    this.keys.forEach((key, i) => this.data[i + 1].push(cleanValue(key, readings?.[key])));
    let old = 0;
    while (old < this.times.length && this.times[old] < time - this.seconds) old += 1;
    if (old >= kTrimBatch) for (const column of this.data) column.splice(0, old);
  }

  clear() {
    for (const column of this.data) column.length = 0;
  }

  /** A copy that later pushes leave alone (what a paused chart shows). */
  snapshot() {
    return this.data.map((column) => column.slice());
  }
}

/**
 * The moves with a planned duration seen in the window: [{ start, end, running }] in seconds,
 * the start worked out from the progress of the first status that shows the move.
 */
export class MoveMarks {
  constructor({ seconds = 30 } = {}) {
    this.seconds = seconds;
    this.marks = [];
  }

  /** Takes one status at `time`; returns true when the marks changed. */
  update(time, status) {
    const duration = status?.plannedMotionDuration;
    const progress = Math.min(1, Math.max(0, Number.isFinite(status?.plannedMotionProgress) ? status.plannedMotionProgress : 0));
    const moving = kPlannedMoves.has(status?.state) && Number.isFinite(duration) && duration > 0 && duration < 86400;
    const current = this.marks.at(-1);
    const running = current?.running ? current : null;
    let changed = false;
    if (moving) {
      // Another move: a new kind, a new planned duration, or progress that started again.
      const fresh = !running || running.state !== status.state || Math.abs(running.duration - duration) > 1e-3 || progress < running.progress - 0.05;
      if (fresh) {
        if (running) running.running = false;
        const start = time - progress * duration;
        this.marks.push({ start, end: start + duration, duration, progress, state: status.state, running: true });
        changed = true;
      } else {
        running.progress = progress;
      }
    } else if (running) {
      running.running = false;
      changed = true;
    }
    const gone = this.marks.filter((mark) => !mark.running && mark.end < time - this.seconds).length;
    if (gone > 0 || this.marks.length > 8) {
      this.marks = this.marks.filter((mark) => mark.running || mark.end >= time - this.seconds).slice(-8);
      changed = true;
    }
    return changed;
  }
}
