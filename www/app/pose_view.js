// The picture of the rig's pose, in SVG: each pan as a dial seen from above (0° forward, growing
// clockwise), each tilt seen from the side (up is positive), the slide as a rail with its
// carriage and the focus as a bar. The target of the running move is drawn as a ghost, the
// filled key-pose slots as numbered marks. Redrawn with every status, in place; movement is
// eased by CSS unless the user asks for reduced motion. Main thread.
import { cleanValue, fraction, kMotionAxes, spanOf } from './motion_axes.js';

const kNs = 'http://www.w3.org/2000/svg';
const kRadius = 58;
const kPanelWidth = 160;
const kBarWidth = 260;

function svg(tag, attributes = {}, ...children) {
  const node = document.createElementNS(kNs, tag);
  for (const [name, value] of Object.entries(attributes)) node.setAttribute(name, String(value));
  for (const child of children) node.append(child);
  return node;
}

// A camera seen from above or from the side, pointing along -y (dial) or +x (side view).
const needleShape = (kind) =>
  kind === 'dial'
    ? svg('path', { d: `M0 0 L0 ${-kRadius + 6} M-9 -14 h18 v-22 h-18 z M-6 -36 l-5 -10 h22 l-5 10` })
    : svg('path', { d: `M0 0 L${kRadius - 6} 0 M14 -9 v18 h22 v-18 z M36 -6 l10 -5 v22 l-10 -5` });

const format = (axis, value) => (value === null ? '–' : `${value.toFixed(axis.digits)}${axis.unit}`);

export class PoseView {
  constructor(container) {
    this.container = container;
    this.keys = '';
    this.panels = new Map(); // axis key -> { axis, now, ghost, marks, value, ... }
    this.seen = new Map(); // linear axis key -> [min, max] of the values drawn so far
    this.root = svg('svg', { class: 'pose', role: 'img', 'aria-label': 'The rig seen from above and from the side' });
    container.append(this.root);
  }

  /**
   * Draws the axes `keys` of `status` with `target` (axis values or null), `poses` (index ->
   * values) and `limits` (axis key -> [min, max]).
   */
  draw(status, { keys, target = null, poses = new Map(), limits = {}, posesChanged = false }) {
    const readings = status?.readings && typeof status.readings === 'object' ? status.readings : {};
    if (keys.join() !== this.keys) {
      this.build(keys);
      posesChanged = true;
    }
    for (const [key, panel] of this.panels) {
      const value = cleanValue(key, readings[key]);
      const aim = target ? cleanValue(key, target[key]) : null;
      if (panel.linear) {
        const seen = this.seen.get(key) ?? [Infinity, -Infinity];
        if (value !== null) this.seen.set(key, [Math.min(seen[0], value), Math.max(seen[1], value)]);
        const poseValues = [...poses.values()].map((p) => p[key] ?? null);
        const span = spanOf(limits[key], ...(this.seen.get(key) ?? []).filter(Number.isFinite), aim, ...poseValues);
        if (span.join() !== panel.span?.join()) {
          panel.span = span;
          panel.min.textContent = span[0].toFixed(panel.axis.digits);
          panel.max.textContent = span[1].toFixed(panel.axis.digits);
          posesChanged = true;
        }
        this.placeLinear(panel, panel.now, value);
        this.placeLinear(panel, panel.ghost, aim);
      } else {
        this.turn(panel, panel.now, value);
        this.turn(panel, panel.ghost, aim);
      }
      const text = format(panel.axis, value);
      if (panel.value.textContent !== text) panel.value.textContent = text;
      if (posesChanged) this.drawMarks(panel, poses);
    }
  }

  build(keys) {
    this.keys = keys.join();
    this.panels.clear();
    this.root.replaceChildren();
    const angular = kMotionAxes.filter((a) => keys.includes(a.key) && (a.picture === 'dial' || a.picture === 'side'));
    const linear = kMotionAxes.filter((a) => keys.includes(a.key) && (a.picture === 'rail' || a.picture === 'bar'));
    const width = Math.max(angular.length * kPanelWidth, Math.min(2, linear.length) * (kBarWidth + 40), kPanelWidth);
    const top = angular.length ? 195 : 0; // the row of linear axes starts under the dials
    const height = top + Math.ceil(linear.length / 2) * 70 + 10;
    this.root.setAttribute('viewBox', `0 0 ${width} ${height}`);
    angular.forEach((axis, i) => this.addAngular(axis, kPanelWidth * i + kPanelWidth / 2, 88));
    linear.forEach((axis, i) => this.addLinear(axis, 20 + (i % 2) * (kBarWidth + 40), top + Math.floor(i / 2) * 70 + 30));
    if (keys.length === 0) this.root.append(svg('text', { x: 10, y: 20, class: 'pose-label' }, 'No axis reported.'));
  }

  addAngular(axis, cx, cy) {
    const dial = axis.picture === 'dial';
    const face = dial
      ? svg('circle', { r: kRadius, class: 'pose-face' })
      : svg('path', { d: `M0 ${-kRadius} A${kRadius} ${kRadius} 0 0 1 0 ${kRadius} Z`, class: 'pose-face' });
    const ticks = svg('path', {
      class: 'pose-tick',
      d: dial ? `M0 ${-kRadius} v8 M${kRadius} 0 h-8 M0 ${kRadius} v-8 M${-kRadius} 0 h8` : `M0 0 H${kRadius} M0 ${-kRadius} v8 M0 ${kRadius} v-8`,
    });
    const ghost = svg('g', { class: 'ghost', visibility: 'hidden' }, needleShape(axis.picture));
    const now = svg('g', { class: 'needle', 'data-axis': axis.key }, needleShape(axis.picture));
    const marks = svg('g', { class: 'pose-marks' });
    const value = svg('text', { class: 'pose-value', y: kRadius + 34, 'text-anchor': 'middle' });
    const group = svg(
      'g',
      { class: `pose-panel ${axis.picture}`, 'data-axis': axis.key, transform: `translate(${cx} ${cy})` },
      face,
      ticks,
      marks,
      ghost,
      now,
      svg('text', { class: 'pose-label', y: kRadius + 16, 'text-anchor': 'middle' }, axis.label),
      value,
    );
    now.style.stroke = axis.color;
    this.root.append(group);
    this.panels.set(axis.key, { axis, now, ghost, marks, value, linear: false });
  }

  addLinear(axis, x, y) {
    const rail = axis.picture === 'rail';
    const track = rail
      ? svg('path', { class: 'pose-face', d: `M0 0 H${kBarWidth} M0 -6 v12 M${kBarWidth} -6 v12` })
      : svg('rect', { class: 'pose-face', x: 0, y: -8, width: kBarWidth, height: 16, rx: 4 });
    // The carriage rides the rail; the focus bar fills up to the position.
    const shape = () => (rail ? svg('rect', { x: -12, y: -9, width: 24, height: 18, rx: 3 }) : svg('rect', { x: 0, y: -8, width: kBarWidth, height: 16, rx: 4 }));
    const now = svg('g', { class: rail ? 'needle carriage' : 'needle fill', 'data-axis': axis.key }, shape());
    const ghost = svg('g', { class: 'ghost', visibility: 'hidden' }, rail ? shape() : svg('path', { d: 'M0 -13 v26' }));
    const marks = svg('g', { class: 'pose-marks' });
    const min = svg('text', { class: 'pose-range', x: 0, y: 26 });
    const max = svg('text', { class: 'pose-range', x: kBarWidth, y: 26, 'text-anchor': 'end' });
    // The label sits with the value under the bar, leaving the space above it to the key poses.
    const value = svg('tspan', { class: 'pose-value' });
    const caption = svg('text', { class: 'pose-label', x: kBarWidth / 2, y: 26, 'text-anchor': 'middle' }, `${axis.label} `, value);
    const group = svg('g', { class: `pose-panel ${axis.picture}`, 'data-axis': axis.key, transform: `translate(${x} ${y})` }, track, marks, now, ghost, min, max, caption);
    now.style.fill = axis.color;
    this.root.append(group);
    this.panels.set(axis.key, { axis, now, ghost, marks, value, min, max, linear: true, rail, span: null });
  }

  /** Shows or hides `node`, touching the DOM only on a change. */
  show(node, shown) {
    const visibility = shown ? 'visible' : 'hidden';
    if (node.getAttribute('visibility') !== visibility) node.setAttribute('visibility', visibility);
  }

  turn(panel, node, value) {
    this.show(node, value !== null);
    if (value === null || node.dataset.angle === String(value)) return;
    node.dataset.angle = String(value);
    // Pan as it is (a turn past 360° eases the short way); tilt is drawn nose up for positive.
    node.style.transform = `rotate(${panel.axis.picture === 'dial' ? value : -value}deg)`;
  }

  placeLinear(panel, node, value) {
    const at = fraction(value, panel.span);
    this.show(node, at !== null);
    if (at === null || (node.dataset.value === String(value) && node.dataset.at === String(at))) return;
    node.dataset.value = String(value);
    node.dataset.at = String(at);
    node.style.transform = panel.rail || node === panel.ghost ? `translateX(${at * kBarWidth}px)` : `scaleX(${at})`;
  }

  drawMarks(panel, poses) {
    const marks = [];
    for (const [index, values] of [...poses].sort((a, b) => a[0] - b[0])) {
      const value = values[panel.axis.key];
      if (value === undefined || value === null) continue;
      let x;
      let y;
      if (panel.linear) {
        const at = fraction(value, panel.span);
        if (at === null) continue;
        [x, y] = [at * kBarWidth, -22];
      } else {
        const radians = ((panel.axis.picture === 'dial' ? value : 90 - value) * Math.PI) / 180;
        [x, y] = [Math.sin(radians) * (kRadius + 10), -Math.cos(radians) * (kRadius + 10)];
      }
      marks.push(svg('g', { class: 'pose-mark', 'data-slot': index, transform: `translate(${x.toFixed(1)} ${y.toFixed(1)})` }, svg('circle', { r: 7 }), svg('text', { 'text-anchor': 'middle', y: 4 }, String(index))));
    }
    panel.marks.replaceChildren(...marks);
  }
}
