// The live plot of every axis the bundle reports over the last 30 s, drawn by uPlot (shipped in
// www/vendor, loaded on first use so a page without it still works): angles on the left scale,
// slide and focus on their own right-hand scales, the running move's start and planned end
// marked. Pause freezes the view while the data keeps coming; the time cursor (mouse, or the
// arrow keys on the focused plot) reads every axis in the legend. The legend is our own, not
// uPlot's live one, which rewrites every value with each redraw: ours writes a value only when
// the text shown changes, so a redraw with no cursor on the plot touches nothing but the canvas.
// Main thread.
import { el, replace } from './dom.js';
import { kMotionAxes } from './motion_axes.js';
import { MoveMarks, TimeWindow } from './motion_data.js';

const kSeconds = 30;
const kHeight = 240;
const kMuted = '#9aa6b1';
const kGrid = '#2f363f';

let library = null;
/** uPlot, loaded once for the page. */
function loadUPlot() {
  library ??= import('../vendor/uplot/uPlot.esm.js').then((module) => module.default);
  return library;
}

/**
 * Runs `build` with every 2D context it asks for given `attributes` as well: uPlot takes the
 * context of the canvas it makes inside its constructor, with no way to pass them. The
 * constructor runs to its end before anything else can, so no other canvas is touched.
 */
function withContextAttributes(attributes, build) {
  const getContext = HTMLCanvasElement.prototype.getContext;
  HTMLCanvasElement.prototype.getContext = function (type, options) {
    return getContext.call(this, type, type === '2d' ? { ...options, ...attributes } : options);
  };
  try {
    return build();
  } finally {
    HTMLCanvasElement.prototype.getContext = getContext;
  }
}

const clock = (seconds) => new Date(seconds * 1000).toLocaleTimeString([], { hour12: false }) + `.${Math.floor((seconds % 1) * 10)}`;

export class MotionPlot {
  constructor(container) {
    this.container = container;
    this.keys = null;
    this.window = null;
    this.marks = new MoveMarks({ seconds: kSeconds });
    this.paused = false;
    this.chart = null;
    this.stale = false; // the chart must be built anew (other axes)
    this.markNodes = [];
    this.legendValues = []; // the legend's value elements: time, then each axis
    this.pause = el('button', { class: 'plot-pause', 'aria-pressed': 'false', onclick: () => this.setPaused(!this.paused) }, 'Pause');
    this.root = el('div', {
      class: 'plot',
      tabindex: '0',
      'aria-label': `Axis positions over the last ${kSeconds} s. Left and right arrows move the time cursor (Shift: ten points); the legend reads it.`,
      onkeydown: (event) => this.onKey(event),
    });
    this.note = el('p', { class: 'hint', text: '' });
    this.legend = el('div', { class: 'plot-legend', 'aria-live': 'off' });
    replace(container, el('div', { class: 'panel-head' }, el('h2', { text: `Motion, last ${kSeconds} s` }), this.pause), this.root, this.legend, this.note);
    loadUPlot().then(
      (uPlot) => {
        this.uPlot = uPlot;
        this.stale = true;
        this.draw();
      },
      () => (this.note.textContent = 'The plot library is missing from this installation; the picture and readings still work.'),
    );
    this.resize = new ResizeObserver(() => this.chart?.setSize({ width: this.width(), height: kHeight }));
    this.resize.observe(this.root);
    // A plot scrolled out of sight is not redrawn; it takes its points all the same and shows
    // them as soon as it is back.
    this.visible = true;
    this.sight = new IntersectionObserver((entries) => {
      this.visible = entries.at(-1).isIntersecting;
      if (this.visible) this.draw();
    });
    this.sight.observe(this.root);
  }

  destroy() {
    this.destroyed = true;
    this.resize.disconnect();
    this.sight.disconnect();
    this.chart?.destroy();
    this.chart = null;
  }

  width() {
    return Math.max(280, this.root.clientWidth);
  }

  /** Takes one status at `time` (seconds); the chart shows it at the next draw. */
  push(time, status, keys) {
    if (keys.join() !== this.keys?.join()) {
      this.keys = keys;
      this.window = new TimeWindow(keys, { seconds: kSeconds + 2 });
      this.stale = true;
    }
    this.window.push(time, status?.readings);
    this.marks.update(time, status);
  }

  draw() {
    // A frame asked for before the page left this view may still come.
    if (this.destroyed || !this.uPlot || !this.window) return;
    if (this.stale) this.build();
    if (this.paused || !this.visible) return;
    this.chart.setData(this.window.data);
  }

  /** The legend's series, each with its colour, label and an empty value. */
  buildLegend(series) {
    this.legendValues = series.map(() => el('span', { class: 'plot-value', text: '–' }));
    replace(
      this.legend,
      series.map((s, i) =>
        el('span', { class: 'plot-series' }, s.stroke ? el('span', { class: 'plot-swatch', style: `background: ${s.stroke}` }) : null, `${s.label} `, this.legendValues[i]),
      ),
    );
  }

  /** The values at the time cursor, '–' without one; a value is written only when it changed. */
  showCursor(u) {
    const index = u.cursor.idx;
    u.series.forEach((s, i) => {
      const value = index === null || index === undefined ? null : u.data[i]?.[index];
      const text = s.value(u, value ?? null);
      const node = this.legendValues[i];
      if (node && node.textContent !== text) node.textContent = text;
    });
  }

  build() {
    this.stale = false;
    this.chart?.destroy();
    this.markNodes = [];
    const axes = this.keys.map((key) => kMotionAxes.find((a) => a.key === key));
    const scales = [...new Set(axes.map((a) => a.scale))];
    const unitOf = { deg: '°', slide: '', focus: '' };
    const options = {
      width: this.width(),
      height: kHeight,
      scales: {
        x: { time: true, range: (u, min, max) => (max === null ? [Date.now() / 1000 - kSeconds, Date.now() / 1000] : [max - kSeconds, max]) },
      },
      series: [
        { label: 'time', value: (u, seconds) => (seconds === null ? '–' : clock(seconds)) },
        ...axes.map((axis) => ({
          label: axis.label,
          scale: axis.scale,
          stroke: axis.color,
          width: 2,
          spanGaps: false,
          points: { show: false },
          value: (u, value) => (value === null || value === undefined ? '–' : `${value.toFixed(axis.digits)}${axis.unit}`),
        })),
      ],
      axes: [
        { stroke: kMuted, grid: { stroke: kGrid }, ticks: { stroke: kGrid } },
        ...scales.map((scale, i) => ({
          scale,
          side: i === 0 ? 3 : 1,
          stroke: kMuted,
          grid: { show: i === 0, stroke: kGrid },
          ticks: { stroke: kGrid },
          values: (u, values) => values.map((v) => `${v}${unitOf[scale]}`),
          size: 56,
        })),
      ],
      cursor: { drag: { x: false, y: false }, points: { size: 7 } },
      legend: { show: false },
      hooks: { draw: [(u) => this.placeMarks(u), (u) => this.showCursor(u)], setCursor: [(u) => this.showCursor(u)] },
    };
    this.buildLegend(options.series);
    // The chart is redrawn whole with each status. A desynchronized canvas lets the browser
    // present its updates apart from the page's own frames where it can, which costs the page
    // less at 20 redraws a second; each redraw still runs in the frame that takes the status.
    const data = this.paused ? this.window.snapshot() : this.window.data;
    this.chart = withContextAttributes({ desynchronized: true }, () => new this.uPlot(options, data, this.root));
    this.root.chart = this.chart; // what the browser tests read
  }

  /** Puts the start and planned-end lines of the moves in view over the chart. */
  placeMarks(u) {
    const lines = this.marks.marks.flatMap((mark) => [
      { at: mark.start, kind: 'start', text: 'move start' },
      { at: mark.end, kind: 'end', text: mark.running ? 'planned end' : 'planned end (past)' },
    ]);
    while (this.markNodes.length < lines.length) {
      const node = el('div', { class: 'move-mark' });
      u.over.append(node);
      this.markNodes.push(node);
    }
    // The plotting area's width in CSS pixels, without asking the page for a layout.
    const width = u.bbox.width / this.uPlot.pxRatio;
    this.markNodes.forEach((node, i) => {
      const line = lines[i];
      const left = line ? Math.round(u.valToPos(line.at, 'x') * 2) / 2 : -1;
      const hidden = !line || !(left >= 0 && left <= width);
      if (node.hidden !== hidden) node.hidden = hidden;
      if (hidden) return;
      // Written only when changed: the lines move with every frame, the rest seldom does.
      const at = String(line.at);
      if (node.dataset.at !== at || !node.classList.contains(line.kind)) {
        node.className = `move-mark ${line.kind}`;
        node.title = `${line.text} ${clock(line.at)}`;
        node.dataset.at = at;
      }
      const transform = `translateX(${left}px)`;
      if (node.style.transform !== transform) node.style.transform = transform;
    });
  }

  setPaused(paused) {
    this.paused = paused;
    this.pause.textContent = paused ? 'Resume' : 'Pause';
    this.pause.setAttribute('aria-pressed', String(paused));
    this.container.dataset.paused = String(paused);
    // The paused chart keeps a copy: the live columns go on filling and trimming meanwhile.
    if (this.chart) this.chart.setData(paused ? this.window.snapshot() : this.window.data);
  }

  onKey(event) {
    const u = this.chart;
    const steps = { ArrowLeft: -1, ArrowRight: 1, Home: -Infinity, End: Infinity }[event.key];
    if (!u || steps === undefined || u.data[0].length === 0) return;
    event.preventDefault();
    const last = u.data[0].length - 1;
    const from = u.cursor.idx ?? last;
    const index = Math.min(last, Math.max(0, from + steps * (event.shiftKey ? 10 : 1)));
    u.setCursor({ left: u.valToPos(u.data[0][index], 'x'), top: u.over.clientHeight / 2 });
  }
}
