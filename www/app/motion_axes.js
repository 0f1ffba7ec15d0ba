// The axes the plot and the picture show, in one table, and the pure helpers both use: which
// axes a status reports, values made safe to draw, and the target of the running move. Pure;
// tested without a browser.

/**
 * Each axis as the status "readings" name it: its label and unit, the plot scale it shares,
 * how the picture draws it, its colour, and the largest size a real value can have (anything
 * larger is a fault, not a position, and is not drawn).
 */
export const kMotionAxes = [
  { key: 'headPan', label: 'Pan', unit: '°', digits: 2, scale: 'deg', picture: 'dial', color: '#3ba7ff', limit: 1e5 },
  { key: 'headTilt', label: 'Tilt', unit: '°', digits: 2, scale: 'deg', picture: 'side', color: '#f2b233', limit: 1e5 },
  { key: 'slide', label: 'Slide', unit: '', digits: 3, scale: 'slide', picture: 'rail', color: '#3ccf7a', limit: 1e4 },
  { key: 'focus', label: 'Focus', unit: '', digits: 0, scale: 'focus', picture: 'bar', color: '#d98cff', limit: 1e8 },
  { key: 'jibPan', label: 'Jib pan', unit: '°', digits: 2, scale: 'deg', picture: 'dial', color: '#ff8a8a', limit: 1e5 },
  { key: 'jibTilt', label: 'Jib tilt', unit: '°', digits: 2, scale: 'deg', picture: 'side', color: '#7ae0e0', limit: 1e5 },
];
const kByKey = new Map(kMotionAxes.map((axis) => [axis.key, axis]));

// Requests and key-pose reads name the jib axes after the crane.
const kReadingKeyOf = { craneMaxPan: 'jibPan', craneMaxTilt: 'jibTilt' };

/** The value of `key` when it can be drawn: a finite number within the axis's limit; else null. */
export function cleanValue(key, value) {
  const axis = kByKey.get(key);
  if (!axis || typeof value !== 'number' || !Number.isFinite(value) || Math.abs(value) > axis.limit) return null;
  return value;
}

/** The axis keys a status reports, in table order: its supported axes and any reading it carries. */
export function reportedAxes(status) {
  const named = new Set();
  for (const entry of Array.isArray(status?.supportedAxes) ? status.supportedAxes : []) named.add(entry?.axis);
  const readings = status?.readings;
  if (readings && typeof readings === 'object') for (const key of Object.keys(readings)) named.add(key);
  return kMotionAxes.map((axis) => axis.key).filter((key) => named.has(key));
}

/** Drawable axis values of `source` (a request, a key-pose read or readings), by reading key. */
export function axisValues(source) {
  const values = {};
  if (!source || typeof source !== 'object') return values;
  for (const [name, value] of Object.entries(source)) {
    const key = kReadingKeyOf[name] ?? name;
    const clean = cleanValue(key, value);
    if (clean !== null) values[key] = clean;
  }
  return values;
}

/** `value` placed along [min, max] as 0..1 (clamped), or null when either cannot be used. */
export function fraction(value, [min, max]) {
  if (value === null || !Number.isFinite(min) || !Number.isFinite(max) || max <= min) return null;
  return Math.min(1, Math.max(0, (value - min) / (max - min)));
}

/**
 * The range the picture spreads a linear axis over: the bundle's limits when known, widened
 * to take in every value seen (readings, key poses, a target) so nothing sits off the end.
 */
export function spanOf(limits, ...values) {
  let [min, max] = Array.isArray(limits) && limits.every(Number.isFinite) && limits[1] > limits[0] ? limits : [Infinity, -Infinity];
  for (const value of values) {
    if (value === null || value === undefined) continue;
    min = Math.min(min, value);
    max = Math.max(max, value);
  }
  if (!Number.isFinite(min)) return [0, 1];
  if (max - min < 1e-9) return [min - 0.5, max + 0.5];
  return [min, max];
}

/** [min, max] per axis key from a numericLimitValues "data" (axes named pan, tilt, ...). */
export function limitsOf(data) {
  const names = { headPan: 'pan', headTilt: 'tilt', slide: 'slide', focus: 'focus', jibPan: 'jibPan', jibTilt: 'jibTilt' };
  const limits = {};
  if (!data || typeof data !== 'object') return limits;
  for (const [key, name] of Object.entries(names)) {
    const range = [data[`${name}MinLimit`], data[`${name}MaxLimit`]];
    if (range.every((v) => typeof v === 'number' && Number.isFinite(v)) && range[1] > range[0]) limits[key] = range;
  }
  return limits;
}

/**
 * Where the running move is heading, or null: a real-time move's target as this page sent it,
 * or the stored values of the key pose a key-pose move aims at, when they are known.
 * `realTime`: { values } of the last real-time move sent; `poses`: index -> values.
 */
export function moveTarget(status, { realTime = null, poses = new Map() } = {}) {
  if (status?.state === 'realTimeMove' && realTime) return realTime.values;
  if (status?.state === 'keyposeMove' && Number.isInteger(status.keyposeMotionAimIndex)) {
    return poses.get(status.keyposeMotionAimIndex) ?? null;
  }
  return null;
}
