// How healthy a link is, from what the page already receives: the arrival times of its statuses
// (rate, age of the last one) and, where the server offers them, the link's own statistics
// (acknowledgement round trip, retries, time-outs). Pure: times are passed in (ms), so the
// browser-free tests drive it.

/**
 * The members of the server's link statistics ("data" of linkStatistics on /v1/link/<linkID>
 * and of the /v2 "health" notifications): our name -> the path to it. The one place to change
 * when the server's names change.
 */
export const kStatisticsFields = {
  framesIn: ['framesIn'],
  framesOut: ['framesOut'],
  bytesIn: ['bytesIn'],
  bytesOut: ['bytesOut'],
  discarded: ['discarded'],
  retries: ['retries'],
  timeouts: ['timeouts'],
  lateReplies: ['lateReplies'],
  unacknowledged: ['unacknowledged'],
  ackRoundTripP50: ['ackRoundTrip', 'p50'],
  ackRoundTripP99: ['ackRoundTrip', 'p99'],
  statusRate: ['statusRate'],
  statusAgeMs: ['statusAgeMs'],
};

/**
 * When a figure turns the line amber or red: above the limit, or below it where `below` is
 * set. A silent link turns red within a second: its age passes 750 ms, and the line is
 * re-checked every 250 ms. README.md lists them for users.
 */
export const kHealthLimits = [
  { key: 'statusAgeMs', amber: 250, red: 750 },
  { key: 'statusRate', amber: 5, below: true },
  { key: 'ackRoundTripP99', amber: 100, red: 300 },
  { key: 'retriesPerMinute', amber: 2, red: 20 },
  { key: 'timeoutsPerMinute', amber: 0, red: 5 },
];

const kRateWindowMs = 2000;
// An age below this reads as fresh ("last < 250 ms") rather than as a number.
export const kFreshMs = 250;
const kMinuteMs = 60000;
const kArrivalsKept = 128; // more than the statuses of a rate window at the page's 30 a second

/** The statistics "data" as { ourName: number or null }, whatever else it holds. */
export function readStatistics(data) {
  const figures = {};
  for (const [name, path] of Object.entries(kStatisticsFields)) {
    let value = data;
    for (const member of path) value = value !== null && typeof value === 'object' ? value[member] : undefined;
    figures[name] = typeof value === 'number' && Number.isFinite(value) ? value : null;
  }
  return figures;
}

/** 'ok', 'amber' or 'red' for `figures` (a figure that is null is not judged). */
export function healthLevel(figures) {
  let level = 'ok';
  for (const { key, amber, red, below } of kHealthLimits) {
    const value = figures[key];
    if (typeof value !== 'number' || !Number.isFinite(value)) continue;
    const past = (limit) => limit !== undefined && (below ? value < limit : value > limit);
    if (past(red)) return 'red';
    if (past(amber)) level = 'amber';
  }
  return level;
}

/** One link's health: fed with status arrivals and statistics, read with `figures(now)`. */
export class LinkHealth {
  constructor(now) {
    this.since = now; // a link that never reports ages from here
    this.arrivals = new Float64Array(kArrivalsKept);
    this.count = 0; // arrivals noted in all
    this.firstArrival = 0;
    this.statistics = null; // the latest readStatistics result
    this.counters = []; // { at, retries, timeouts }, the last minute's worth
    this.shownRate = null; // the whole rate the line shows
  }

  noteStatus(at) {
    if (this.count === 0) this.firstArrival = at;
    this.arrivals[this.count % kArrivalsKept] = at;
    this.count += 1;
  }

  noteStatistics(data, at) {
    const figures = readStatistics(data);
    this.statistics = figures;
    const last = this.counters.at(-1);
    // Counters that went back mean the link (or the server) started again: count afresh.
    if (last && ((figures.retries ?? 0) < last.retries || (figures.timeouts ?? 0) < last.timeouts)) this.counters = [];
    this.counters.push({ at, retries: figures.retries ?? 0, timeouts: figures.timeouts ?? 0 });
    while (this.counters.length > 2 && this.counters[1].at <= at - kMinuteMs) this.counters.shift();
  }

  /**
   * Statuses a second over the last two seconds (or since the first, if sooner); null before a
   * quarter second. Measured between arrivals (the intervals in the window over the time they
   * span), so a steady stream reads the same just before and just after each status: a count
   * over a window that ends now would tick 20, 21, 20 with every arrival and redraw the line. A
   * stream that stops still reads lower as its silence grows past one interval.
   */
  statusRate(now) {
    if (this.count === 0) return null;
    const span = Math.min(kRateWindowMs, now - this.firstArrival);
    if (span < 250) return null;
    let inWindow = 0;
    let first = Infinity;
    let last = -Infinity;
    for (let i = 0; i < Math.min(this.count, kArrivalsKept); ++i) {
      const at = this.arrivals[i];
      if (at <= now - span) continue;
      inWindow += 1;
      first = Math.min(first, at);
      last = Math.max(last, at);
    }
    // Too few arrivals to have an interval: the count over the window, the first arrival
    // opening it and not counted.
    if (inWindow < 2 || last <= first) return (inWindow * 1000) / span;
    const intervals = inWindow - 1;
    const interval = (last - first) / intervals;
    return (intervals * 1000) / Math.max(last - first, now - first - interval);
  }

  /**
   * The rate as the line shows it, in whole statuses a second: it moves only once the rate is a
   * whole status a second away from what is shown, so a stream whose rate wavers about a half
   * (19.4, 19.6, ...) does not redraw the line with every wobble. The level judges the rate itself.
   */
  steadyRate(rate) {
    if (rate === null) this.shownRate = null;
    else if (this.shownRate === null || Math.abs(rate - this.shownRate) >= 1) this.shownRate = Math.round(rate);
    return this.shownRate;
  }

  /** The figures of the health line at `now`, with their `level`. */
  figures(now) {
    const last = this.count > 0 ? this.arrivals[(this.count - 1) % kArrivalsKept] : this.since;
    const statusRate = this.statusRate(now);
    const figures = {
      statusRate,
      shownRate: this.steadyRate(statusRate),
      statusAgeMs: Math.max(0, now - last),
      everReported: this.count > 0,
      ackRoundTripP50: this.statistics?.ackRoundTripP50 ?? null,
      ackRoundTripP99: this.statistics?.ackRoundTripP99 ?? null,
      retriesPerMinute: null,
      timeoutsPerMinute: null,
    };
    // Counts within the last minute: the difference from the oldest sample kept.
    if (this.counters.length >= 2) {
      const [first, newest] = [this.counters[0], this.counters.at(-1)];
      figures.retriesPerMinute = newest.retries - first.retries;
      figures.timeoutsPerMinute = newest.timeouts - first.timeouts;
    }
    figures.level = healthLevel(figures);
    return figures;
  }
}

const ms = (value) => (value === null ? '–' : value >= 1000 ? `${(value / 1000).toFixed(1)} s` : `${Math.round(value)} ms`);

/** The health line's text: rate and age, and with `detailed` the link statistics there are. */
export function healthText(figures, { detailed = false } = {}) {
  const parts = [];
  if (!figures.everReported) parts.push(`no status yet (${ms(figures.statusAgeMs)})`);
  else if (figures.statusAgeMs >= 1000) parts.push(`no status for ${ms(figures.statusAgeMs)}`);
  else {
    // A fresh age reads as such: a number changing with every status is noise (and work).
    const fresh = figures.statusAgeMs < kFreshMs;
    const rate = figures.shownRate ?? figures.statusRate;
    parts.push(`${rate === null || rate === undefined ? '…' : rate.toFixed(0)} status/s`, fresh ? `last < ${kFreshMs} ms` : `last ${ms(figures.statusAgeMs)} ago`);
  }
  if (detailed) {
    if (figures.ackRoundTripP50 !== null || figures.ackRoundTripP99 !== null) {
      parts.push(`ack ${ms(figures.ackRoundTripP50)} (p99 ${ms(figures.ackRoundTripP99)})`);
    }
    if (figures.retriesPerMinute !== null) parts.push(`${figures.retriesPerMinute} retries/min`);
    if (figures.timeoutsPerMinute !== null) parts.push(`${figures.timeoutsPerMinute} time-outs/min`);
  }
  return parts.join(' · ');
}
