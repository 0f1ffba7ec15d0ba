// The motion of a paired bundle on its link page: the picture of its pose and the live plot,
// both fed by the page's status subscription (no request of their own but the bundle's limits
// and its key-pose values, read once). Knows the target of the running move: a real-time move
// this page sent, or the key pose a key-pose move aims at. Main thread; destroy() lets go.
import { el } from './dom.js';
import { drawSoon } from './frame.js';
import { KeyposeValues } from './keyposes.js';
import { axisValues, kMotionAxes, limitsOf, moveTarget, reportedAxes } from './motion_axes.js';
import { statusTime } from './motion_data.js';
import { MotionPlot } from './motion_plot.js';
import { PoseView } from './pose_view.js';

// A real-time move this page sent that has not shown in a status by then never ran.
const kRealTimeStartMs = 2000;

export class MotionView {
  constructor({ pictureBox, plotBox }, { api, feed, linkID }) {
    this.linkID = linkID;
    this.api = api;
    this.latest = null;
    this.axes = []; // the axis keys shown, in table order
    this.limits = {};
    this.realTime = null; // { values, sentAt, seen }
    this.posesChanged = true;
    pictureBox.append(el('h2', { text: 'Pose' }));
    this.pose = new PoseView(pictureBox);
    pictureBox.append(el('p', { class: 'hint pose-legend', text: 'Solid: where the rig is. Outline: where the running move goes. Numbered: stored key poses.' }));
    this.plot = new MotionPlot(plotBox);
    this.keyposes = new KeyposeValues(api, linkID, {
      onChange: () => {
        this.posesChanged = true;
        this.schedule();
      },
    });
    this.readLimits();
    this.unlisten = feed.listen(linkID, (data, arrivedAt) => this.take(data, arrivedAt));
  }

  destroy() {
    this.destroyed = true;
    this.unlisten();
    this.keyposes.destroy();
    this.plot.destroy();
  }

  async readLimits() {
    const reply = await this.api.bundle(this.linkID, { command: 'numericLimitValues' });
    if (reply?.result !== 'ok') return;
    this.limits = limitsOf(reply.data);
    this.schedule();
  }

  /** Tells the view of a command the page sent and its reply (real-time targets, stored poses). */
  noteCommand(request, reply) {
    const ok = reply?.result === 'ok' && reply.acknowledged !== false;
    if (request.command === 'realTimeMoveFixedDuration' && ok) {
      const { command, duration, ...targets } = request;
      this.realTime = { values: axisValues(targets), sentAt: performance.now(), seen: false };
      this.schedule();
    } else if (/^keypose(StoreCurrentPose|StoreWithNumericData|DeletePose)$/.test(request.command)) {
      this.keyposes.reread(request.index);
    } else if (request.command === 'motionAbort') {
      this.realTime = null;
    }
  }

  take(status, arrivedAt) {
    if (!status || typeof status !== 'object') return;
    this.latest = status;
    // Axes only come: one missing from a status is a gap, not a reason to lose the plot.
    const reported = reportedAxes(status);
    if (reported.some((key) => !this.axes.includes(key))) this.axes = kMotionAxes.map((a) => a.key).filter((key) => this.axes.includes(key) || reported.includes(key));
    this.plot.push(statusTime(status), status, this.axes);
    this.keyposes.sync(status.keyposeSlotsFilled);
    if (this.realTime) {
      if (status.state === 'realTimeMove') this.realTime.seen = true;
      else if (this.realTime.seen || performance.now() - this.realTime.sentAt > kRealTimeStartMs) this.realTime = null;
    }
    this.schedule(arrivedAt);
  }

  schedule(arrivedAt) {
    drawSoon(`motion:${this.linkID}`, () => this.draw(), arrivedAt);
  }

  draw() {
    if (this.destroyed) return;
    this.plot.draw();
    if (!this.latest) return;
    const poses = this.keyposes.values;
    const target = moveTarget(this.latest, { realTime: this.realTime, poses });
    this.pose.draw(this.latest, { keys: this.axes, target, poses, limits: this.limits, posesChanged: this.posesChanged });
    this.posesChanged = false;
  }
}
