// One drawing pass per animation frame for the whole page: views say what to redraw when a
// status arrives, and the next frame draws each of them once, however many statuses came in
// between; a status that changes nothing on screen asks for no frame. It also keeps the page's drawing figures (statuses drawn, their wait from arrival to
// drawn, time spent drawing), cheap enough to keep always and read by the browser tests.
// Main thread.

const pending = new Map(); // key -> draw function, run once in the next frame
let requested = false;
// Statuses noted since the last pass: how many and when the oldest arrived.
let waiting = 0;
let oldestArrival = 0;
let lastNoted = null;

// A status is drawn on time when the frame that draws it ends within this long of its arrival:
// the rest of the frame it arrived in plus the frame that draws it, at 60 frames a second.
export const kOnTimeMs = 2 * (1000 / 60);

/** What the page has drawn so far; `reset()` starts counting afresh. */
export const drawStats = {
  frames: 0,
  statuses: 0,
  late: 0,
  maxLagMs: 0,
  drawMs: 0,
  maxDrawMs: 0,
  reset() {
    Object.assign(this, { frames: 0, statuses: 0, late: 0, maxLagMs: 0, drawMs: 0, maxDrawMs: 0 });
  },
};

function runFrame() {
  requested = false;
  const started = performance.now();
  const draws = [...pending.values()];
  pending.clear();
  for (const draw of draws) {
    try {
      draw();
    } catch (error) {
      // One view's fault must not stop the others drawing, nor the next frames.
      console.error('draw failed:', error);
    }
  }
  const ended = performance.now();
  const spent = ended - started;
  drawStats.frames += 1;
  drawStats.drawMs += spent;
  drawStats.maxDrawMs = Math.max(drawStats.maxDrawMs, spent);
  if (waiting > 0) {
    // Statuses that arrived before the oldest noted one waited longest; the rest waited less.
    const lag = ended - oldestArrival;
    drawStats.statuses += waiting;
    drawStats.maxLagMs = Math.max(drawStats.maxLagMs, lag);
    if (lag > kOnTimeMs) drawStats.late += waiting;
    waiting = 0;
  }
}

/**
 * Runs `draw` in the next animation frame; a later call with the same `key` replaces it.
 * `arrivedAt` (performance.now()) names the status this draw shows, for the figures; views
 * drawing the same status pass the same time, and it is counted once.
 */
export function drawNextFrame(key, draw, arrivedAt) {
  if (arrivedAt !== undefined && arrivedAt !== lastNoted) noteStatus(arrivedAt);
  pending.set(key, draw);
  if (!requested) {
    requested = true;
    requestAnimationFrame(runFrame);
  }
}

function noteStatus(arrivedAt) {
  lastNoted = arrivedAt;
  if (waiting === 0) oldestArrival = arrivedAt;
  waiting += 1;
}
