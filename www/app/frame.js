// One drawing pass for the whole page: views say what to redraw when a status arrives, and the
// pass draws each of them once, however many statuses came in between. It also keeps the page's
// drawing figures (statuses drawn, their wait from arrival to drawn, time spent drawing), cheap
// enough to keep always and read by the browser tests. Main thread.
//
// The pass runs at the end of the task that brought the status, not in an animation frame of
// its own asking. The plot's canvas is desynchronized and is presented without a frame of the
// page, so while the rig is still and the plot is all that changes, nothing asks for a page
// frame; what else a pass changes shows in the next frame as ever. Asking for a
// frame only to draw in it cost about a third of the page's renderer time at 20 statuses a
// second. A pass less than a frame after the last one (a burst of statuses) waits for the next
// frame, so a burst is drawn once; so does every pass of a hidden page, whose frames the
// browser holds back until it is shown again.

const pending = new Map(); // key -> draw function, run once in the next pass
let requested = false;
let lastPassAt = -Infinity;
const kFrameMs = 1000 / 60;
// Statuses noted since the last pass: how many and when the oldest arrived.
let waiting = 0;
let oldestArrival = 0;
let lastNoted = null;

// A status is drawn on time when the pass that draws it ends within this long of its arrival:
// the rest of the frame it arrived in plus the frame that draws it, at 60 frames a second.
export const kOnTimeMs = 2 * kFrameMs;

/** What the page has drawn so far; `reset()` starts counting afresh. */
export const drawStats = {
  passes: 0,
  statuses: 0,
  late: 0,
  maxLagMs: 0,
  drawMs: 0,
  maxDrawMs: 0,
  reset() {
    Object.assign(this, { passes: 0, statuses: 0, late: 0, maxLagMs: 0, drawMs: 0, maxDrawMs: 0 });
  },
};

function runPass() {
  requested = false;
  const started = performance.now();
  lastPassAt = started;
  const draws = [...pending.values()];
  pending.clear();
  for (const draw of draws) {
    try {
      draw();
    } catch (error) {
      // One view's fault must not stop the others drawing, nor the next passes.
      console.error('draw failed:', error);
    }
  }
  const ended = performance.now();
  const spent = ended - started;
  drawStats.passes += 1;
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
 * Runs `draw` in the next pass, at the latest in the next animation frame; a later call with the
 * same `key` before it replaces it. `arrivedAt` (performance.now()) names the status this draw
 * shows, for the figures; views drawing the same status pass the same time, and it is counted
 * once.
 */
export function drawSoon(key, draw, arrivedAt) {
  if (arrivedAt !== undefined && arrivedAt !== lastNoted) noteStatus(arrivedAt);
  pending.set(key, draw);
  if (requested) return;
  requested = true;
  if (document.hidden || performance.now() - lastPassAt < kFrameMs) requestAnimationFrame(runPass);
  else queueMicrotask(runPass);
}

function noteStatus(arrivedAt) {
  lastNoted = arrivedAt;
  if (waiting === 0) oldestArrival = arrivedAt;
  waiting += 1;
}
