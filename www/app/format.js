// Turning server replies into text for the page: pure functions, shared by the views and
// tested without a browser.

/** Labels and units of the status readings. */
const kReadings = {
  headPan: { label: 'Pan', unit: '°', digits: 2 },
  headTilt: { label: 'Tilt', unit: '°', digits: 2 },
  slide: { label: 'Slide', unit: '', digits: 3 },
  focus: { label: 'Focus', unit: '', digits: 0 },
  jibPan: { label: 'Jib pan', unit: '°', digits: 2 },
  jibTilt: { label: 'Jib tilt', unit: '°', digits: 2 },
};

/** The reply's failure text, or null when its result is "ok" (a bare true also counts as ok). */
export function failureOf(reply) {
  if (reply === true) return null;
  if (reply === false) return 'the adapter did not answer';
  if (reply === null || reply === undefined) return 'no reply in time';
  if (typeof reply !== 'object') return String(reply);
  if (reply.result === 'ok') return null;
  if (reply.result === undefined) return 'reply without result';
  return String(reply.result);
}

/** Readings of a status "data" object as [{ key, label, text }], in a fixed order. */
export function readingRows(readings) {
  if (!readings || typeof readings !== 'object') return [];
  return Object.keys(kReadings)
    .filter((key) => typeof readings[key] === 'number')
    .map((key) => {
      const { label, unit, digits } = kReadings[key];
      return { key, label, text: readings[key].toFixed(digits) + unit };
    });
}

/** A battery level as the status gives it (0.85) as a percentage text ("85 %"). */
export function batteryText(level) {
  if (typeof level !== 'number' || Number.isNaN(level)) return '?';
  return `${Math.round(level * 100)} %`;
}

/** Human text of a status "state" (BundleActivity name). */
export function activityText(state) {
  const names = {
    idle: 'Idle',
    keyposeMove: 'Key-pose move',
    realTimeMove: 'Real-time move',
    focusCalibration: 'Focus calibration',
    sliderCalibration: 'Slider calibration',
    joystickMove: 'Jogging',
    unsupportedActivity: 'Busy (calibrating)',
  };
  return names[state] ?? String(state ?? '?');
}

/** A progress fraction (0..1) of "plannedMotionProgress", clamped. */
export function progressFraction(progress) {
  if (typeof progress !== 'number' || Number.isNaN(progress)) return 0;
  return Math.min(1, Math.max(0, progress));
}

/** The firmware notes of a link record: [{ level: 'required'|'available', what, changelog }]. */
export function firmwareNotes(link) {
  const notes = [];
  const add = (flag, level, what, changelog) => {
    if (link[flag]) notes.push({ level, what, changelog: changelog || '' });
  };
  add('isRadioFirmwareUpdateRequired', 'required', 'Radio firmware update required', link.radioFirmwareChangelog);
  add('isDeviceFirmwareUpdateRequired', 'required', 'Device firmware update required', link.deviceFirmwareChangelog);
  if (!link.isRadioFirmwareUpdateRequired) {
    add('isRadioFirmwareUpdateAvailable', 'available', 'Radio firmware update available', link.radioFirmwareChangelog);
  }
  if (!link.isDeviceFirmwareUpdateRequired) {
    add('isDeviceFirmwareUpdateAvailable', 'available', 'Device firmware update available', link.deviceFirmwareChangelog);
  }
  return notes;
}

/** One line saying where a link stands. */
export function linkStateText(link) {
  if (!link.isValid) return 'Unplugged';
  if (link.isPairingDone) return `Paired (${link.linkConnectionType})`;
  return 'Not paired';
}

/** A reply of a pairing status command as text ("connecting", "problem: deviceSearchProblem"). */
export function pairingStateText(data) {
  if (!data) return '?';
  const state = data.wirelessPairState ?? data.canbusPairState ?? '?';
  return data.lastPairError && data.lastPairError !== 'none' ? `${state}: ${data.lastPairError}` : state;
}
