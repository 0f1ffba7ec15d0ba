// What the emulated devices do with each device message. Runs on the emulator's thread.
#include "sim/emulated_bundle.hpp"

#include <algorithm>
#include <climits>
#include <cmath>

#include "model/numeric_limits.hpp"

namespace kinetra::sim {
namespace {

using model::AxisSlot;
using model::BundleActivity;
using model::DeviceModel;
using model::hasSlot;

constexpr std::size_t slot(AxisSlot axis) {
    return static_cast<std::size_t>(axis);
}

constexpr std::uint8_t bits(std::initializer_list<AxisSlot> axes) {
    std::uint8_t set = 0;
    for (const auto axis : axes) {
        set = static_cast<std::uint8_t>(set | model::bitOf(axis));
    }
    return set;
}

constexpr double kThousandths = 1000.0;
constexpr double kProgressScale = 32000.0;
constexpr std::uint8_t kNoPose = 0xFF;        // a move's first index when it starts from here
constexpr std::int32_t kCraneJibOffset = 74;  // jib length x 10 + 74 on the wire

bool isDolly(DeviceModel model) {
    return model::familyOf(model) == model::DeviceFamily::dolly;
}
bool isLens(DeviceModel model) {
    return model == DeviceModel::lensDriveMax;
}
bool isCrane(DeviceModel model) {
    return model == DeviceModel::craneArm;
}
bool isRail(DeviceModel model) {
    return model::isRailUnit(model) || model == DeviceModel::railUnitGen1;
}

// The setup the bundle's axes make up, as the numeric-limits answer reports it.
model::SetupKind setupOf(std::uint8_t axes, bool dolly, bool craneSlides) {
    using model::SetupKind;
    const bool pan = hasSlot(axes, AxisSlot::headPan);
    const bool tilt = hasSlot(axes, AxisSlot::headTilt);
    const auto pick = [&](SetupKind both, SetupKind panOnly, SetupKind tiltOnly,
                          SetupKind neither) {
        return pan && tilt ? both : pan ? panOnly : tilt ? tiltOnly : neither;
    };
    if (hasSlot(axes, AxisSlot::jibPan) || hasSlot(axes, AxisSlot::jibTilt)) {
        return pick(SetupKind::panTiltAndCraneMax, SetupKind::panAndCraneMax,
                    SetupKind::tiltAndCraneMax, SetupKind::craneMaxOnly);
    }
    if (hasSlot(axes, AxisSlot::slide)) {
        if (craneSlides) {
            return pick(SetupKind::panTiltAndJib, SetupKind::panAndJib, SetupKind::tiltAndJib,
                        SetupKind::jibOnly);
        }
        return dolly ? pick(SetupKind::panTiltAndDolly, SetupKind::panAndDolly,
                            SetupKind::tiltAndDolly, SetupKind::dollyOnly)
                     : pick(SetupKind::panTiltAndSlide, SetupKind::panAndSlide,
                            SetupKind::tiltAndSlide, SetupKind::slideOnly);
    }
    if (pan || tilt) {
        return pick(SetupKind::panTilt, SetupKind::panOnly, SetupKind::tiltOnly, SetupKind::none);
    }
    return hasSlot(axes, AxisSlot::focus) ? SetupKind::followFocusOnly : SetupKind::none;
}

std::int32_t toWire(double value) {
    return static_cast<std::int32_t>(
        std::clamp(std::trunc(value), double(INT32_MIN), double(INT32_MAX)));
}

Seconds fromMilliseconds(std::int32_t milliseconds) {
    return Seconds(milliseconds / kThousandths);
}

}  // namespace

double BundleState::position(AxisSlot axis) const {
    const double value = positions[slot(axis)];
    return axis == AxisSlot::focus ? value : value / kThousandths;
}

EmulatedBundle::EmulatedBundle(const LinkConfig& config, Clock::time_point powerOn)
    : config_(config),
      powerOn_(powerOn),
      keyposes_(std::min<std::size_t>(config.keyposeSlots, 6)),
      armLength_(config.armLength) {
    form({});
    // Heads, sliders and lenses find their end stops at power-on; a rail unit waits for its
    // calibration, which needs to know how it stands. Forming a group later keeps both.
    std::uint8_t railAxes = 0;
    for (const auto& device : config.devices) {
        if (isRail(device.model)) {
            railAxes |= axesOf(device);
        }
    }
    calibrated_ = static_cast<std::uint8_t>(supported_ & ~railAxes);
    incline_ = hasModel(isRail) ? model::InclineMode::flat : model::InclineMode::invalid;
}

void EmulatedBundle::form(const std::vector<std::size_t>& members) {
    members_.clear();
    for (const auto index : members) {
        if (index < config_.devices.size()) {
            members_.push_back(index);
        }
    }
    if (members_.empty()) {
        for (std::size_t i = 0; i < config_.devices.size(); ++i) {
            members_.push_back(i);
        }
    }
    supported_ = realTime_ = 0;
    for (const auto index : members_) {
        const auto& device = config_.devices[index];
        const auto axes = axesOf(device);
        supported_ |= axes;
        const auto minimum = model::minimumRealTimeFirmware(device.model);
        if (!minimum || device.firmwareVersion >= *minimum) {
            realTime_ |= axes;
        }
    }
}

DeviceModel EmulatedBundle::primary() const {
    return members_.empty() ? DeviceModel::none : config_.devices[members_.front()].model;
}

bool EmulatedBundle::hasModel(bool (*predicate)(DeviceModel)) const {
    return std::any_of(members_.begin(), members_.end(),
                       [&](std::size_t i) { return predicate(config_.devices[i].model); });
}

bool EmulatedBundle::calibrating(Clock::time_point now) const {
    return motion_.calibrates() != 0 && !motion_.at(now).finished;
}

EmulatedBundle::Outcome EmulatedBundle::handle(core::ByteView message, Clock::time_point now) {
    settle(now);
    Outcome outcome;
    outcome.read = readDeviceMessage(message, primary());
    if (outcome.read.command) {
        outcome.accepted = apply(*outcome.read.command, now, outcome.answer);
    }
    return outcome;
}

bool EmulatedBundle::apply(const DeviceCommand& command, Clock::time_point now,
                           std::optional<core::Bytes>& answer) {
    const bool busy = calibrating(now);
    return std::visit(
        [&](const auto& c) -> bool {
            using C = std::decay_t<decltype(c)>;
            if constexpr (std::is_same_v<C, cmd::StatusRequest>) {
                return true;
            } else if constexpr (std::is_same_v<C, cmd::LimitsRequest>) {
                answer = limits();
                return true;
            } else if constexpr (std::is_same_v<C, cmd::RealTimeMove>) {
                return !busy && realTimeMove(c, now);
            } else if constexpr (std::is_same_v<C, cmd::Joystick>) {
                return !busy && joystick(c, now);
            } else if constexpr (std::is_same_v<C, cmd::KeyposeStore>) {
                return store(c, now);
            } else if constexpr (std::is_same_v<C, cmd::KeyposeDelete>) {
                if (!validSlot(c.index)) {
                    return false;
                }
                keyposes_[c.index].reset();
                return true;
            } else if constexpr (std::is_same_v<C, cmd::KeyposeRead>) {
                if (!validSlot(c.index)) {
                    return false;
                }
                const auto& pose = keyposes_[c.index];
                Positions values{};
                for (std::size_t i = 0; pose && i < values.size(); ++i) {
                    values[i] = toWire(pose->values[i]);
                }
                // An empty slot answers with index -1 and no values.
                answer = keyposeAnswer(model::familyOf(primary()),
                                       pose ? static_cast<std::int8_t>(c.index) : -1, values);
                return true;
            } else if constexpr (std::is_same_v<C, cmd::KeyposeMove>) {
                return !busy && keyposeMove(c, now);
            } else if constexpr (std::is_same_v<C, cmd::DynamicMove>) {
                return !busy && dynamicMove(c, now);
            } else if constexpr (std::is_same_v<C, cmd::FocusMove>) {
                return !busy && focusMove(c, now);
            } else if constexpr (std::is_same_v<C, cmd::Calibrate>) {
                return !busy && calibrate(c, now);
            } else if constexpr (std::is_same_v<C, cmd::InclineConfirm>) {
                if (!hasModel(isRail)) {
                    return false;
                }
                inclineWarning_ = false;
                return true;
            } else {
                static_assert(std::is_same_v<C, cmd::Abort>);
                abort(now);
                return true;
            }
        },
        command);
}

bool EmulatedBundle::realTimeMove(const cmd::RealTimeMove& move, Clock::time_point now) {
    const auto from = positionsAt(now);
    auto to = from;
    bool any = false;
    for (std::size_t i = 0; i < to.size(); ++i) {
        if (!move.targets[i]) {
            continue;
        }
        if (!hasSlot(realTime_, model::kAllAxisSlots[i])) {
            return false;  // an axis this bundle cannot follow in real time
        }
        to[i] = clampToRange(i, *move.targets[i]);
        any = true;
    }
    if (!any) {
        return false;
    }
    motion_ = Motion::planned(now, from, to, fromMilliseconds(move.durationMs),
                              BundleActivity::realTimeMove, false, -1, -1);
    return true;
}

bool EmulatedBundle::joystick(const cmd::Joystick& stick, Clock::time_point now) {
    const auto sample = motion_.at(now);
    auto velocity = motion_.isStick() && !sample.finished ? motion_.velocity() : AxisPositions{};
    bool any = false;
    for (std::size_t i = 0; i < velocity.size(); ++i) {
        if (stick.deflections[i] && hasSlot(supported_, model::kAllAxisSlots[i])) {
            velocity[i] = std::clamp(*stick.deflections[i], -1.0, 1.0) * kTopSpeed[i];
            any = true;
        }
    }
    if (!any) {
        return false;
    }
    if (std::all_of(velocity.begin(), velocity.end(), [](double v) { return v == 0.0; })) {
        motion_ = Motion::rest(sample.positions, sample);  // the stick is back in the middle
    } else {
        motion_ =
            Motion::stick(now, sample.positions, velocity, now + config_.timings.joystickTimeout);
    }
    return true;
}

bool EmulatedBundle::store(const cmd::KeyposeStore& store, Clock::time_point now) {
    if (!validSlot(store.index)) {
        return false;
    }
    Keypose pose{positionsAt(now), store.identifier};
    for (std::size_t i = 0; i < pose.values.size(); ++i) {
        if (store.values[i] && hasSlot(supported_, model::kAllAxisSlots[i])) {
            pose.values[i] = clampToRange(i, *store.values[i]);
        }
    }
    keyposes_[store.index] = pose;
    return true;
}

bool EmulatedBundle::keyposeMove(const cmd::KeyposeMove& move, Clock::time_point now) {
    const auto filled = [&](std::uint8_t index) {
        return validSlot(index) && keyposes_[index].has_value();
    };
    if (!filled(move.second) || (move.loop && !filled(move.first))) {
        return false;  // a move to a pose that was never stored
    }
    const auto from = positionsAt(now);
    const auto& target = keyposes_[move.second]->values;
    const auto timed = [&](const AxisPositions& a,
                           const AxisPositions& b) -> std::optional<Seconds> {
        if (move.durationMs > 0) {
            return fromMilliseconds(move.durationMs);
        }
        return durationAtSpeed(a, b, move.speed);
    };
    if (move.loop) {
        const auto& first = keyposes_[move.first]->values;
        const auto firstLeg = timed(from, first);
        const auto leg = timed(first, target);
        if (!firstLeg || !leg) {
            return false;
        }
        motion_ = Motion::loop(now, from, first, target, *firstLeg, *leg,
                               static_cast<std::int8_t>(move.first),
                               static_cast<std::int8_t>(move.second));
        return true;
    }
    const auto duration = timed(from, target);
    if (!duration) {
        return false;
    }
    const auto start = move.first == kNoPose ? std::int8_t{-1} : std::int8_t(move.first);
    motion_ = Motion::planned(now, from, target, *duration, BundleActivity::keyposeMove, true,
                              start, static_cast<std::int8_t>(move.second));
    return true;
}

bool EmulatedBundle::dynamicMove(const cmd::DynamicMove& move, Clock::time_point now) {
    const auto from = positionsAt(now);
    auto to = from;
    const auto pan = slot(AxisSlot::headPan);
    const auto tilt = slot(AxisSlot::headTilt);
    to[pan] = clampToRange(pan, from[pan] + move.pan);
    to[tilt] = clampToRange(tilt, from[tilt] + move.tilt);
    std::optional<Seconds> duration;
    if (move.durationMs > 0) {
        duration = fromMilliseconds(move.durationMs);
    } else if (move.speed > 0.0) {
        const double turn = std::max(std::abs(move.pan), std::abs(move.tilt));
        duration = std::max(Seconds(turn / (move.speed * kThousandths)), kShortestMove);
    }
    if (!duration) {
        return false;
    }
    motion_ = Motion::planned(now, from, to, *duration, BundleActivity::keyposeMove, true, -1, -1);
    return true;
}

bool EmulatedBundle::focusMove(const cmd::FocusMove& move, Clock::time_point /*now*/) {
    if (!hasSlot(supported_, AxisSlot::focus)) {
        return false;
    }
    motion_.shift(slot(AxisSlot::focus), move.steps);
    return true;
}

bool EmulatedBundle::calibrate(const cmd::Calibrate& calibration, Clock::time_point now) {
    std::uint8_t axes = 0;
    auto activity = BundleActivity::sliderCalibration;
    switch (calibration.what) {
        case cmd::Calibration::head:
            // Heads report their own homing as an activity the server has no name for.
            axes = supported_ & bits({AxisSlot::headPan, AxisSlot::headTilt});
            activity = BundleActivity::unsupportedActivity;
            break;
        case cmd::Calibration::railUnit: {
            if (!hasModel(isRail)) {
                return false;
            }
            axes = supported_ & model::bitOf(AxisSlot::slide);
            // Modes 2 and 3 stand on the ground; a rail off the ground needs confirming.
            const bool onGround = calibration.mode == 2 || calibration.mode == 3;
            incline_ = onGround ? model::InclineMode::flat : model::InclineMode::safe;
            inclineWarning_ = !onGround;
            break;
        }
        case cmd::Calibration::lens:
            axes = supported_ & model::bitOf(AxisSlot::focus);
            activity = BundleActivity::focusCalibration;
            break;
        case cmd::Calibration::craneArm:
            if (!hasModel(isCrane)) {
                return false;
            }
            axes = supported_ & bits({AxisSlot::slide, AxisSlot::jibPan, AxisSlot::jibTilt});
            armLength_ = static_cast<std::int16_t>(calibration.jibLength - kCraneJibOffset);
            break;
    }
    if (axes == 0) {
        return false;
    }
    const auto from = positionsAt(now);
    auto home = from;
    for (std::size_t i = 0; i < home.size(); ++i) {
        if (hasSlot(axes, model::kAllAxisSlots[i])) {
            home[i] = 0.0;
        }
    }
    calibrated_ = static_cast<std::uint8_t>(calibrated_ & ~axes);
    motion_ = Motion::planned(now, from, home, config_.timings.calibrationTime, activity, true, -1,
                              -1, axes);
    return true;
}

void EmulatedBundle::abort(Clock::time_point now) {
    // An aborted calibration leaves its axes uncalibrated.
    const auto sample = motion_.at(now);
    motion_ = Motion::rest(sample.positions, sample);
}

void EmulatedBundle::settle(Clock::time_point now) {
    const auto end = motion_.end();
    if (!end || now < *end) {
        return;
    }
    calibrated_ |= motion_.calibrates();
    const auto sample = motion_.at(now);
    motion_ = Motion::rest(sample.positions, sample);
}

std::optional<Clock::time_point> EmulatedBundle::nextChange() const {
    return motion_.end();
}

bool EmulatedBundle::moving(Clock::time_point now) const {
    return !motion_.at(now).finished;
}

core::Bytes EmulatedBundle::limits() const {
    namespace flags = model::limits_answer;
    std::uint8_t bitsSet = flags::kFlagDataReady;
    if (hasModel(isLens)) {
        bitsSet |= flags::kFlagLensPresent;
    }
    if (hasModel(isRail) && hasSlot(calibrated_, AxisSlot::slide)) {
        bitsSet |= flags::kFlagRailCalibrated;
    }
    std::vector<DeviceModel> devices;
    for (const auto index : members_) {
        devices.push_back(config_.devices[index].model);
    }
    const bool craneSlides =
        hasModel(isCrane) && hasSlot(supported_, AxisSlot::slide) && !hasModel(isRail);
    return limitsAnswer(setupOf(supported_, hasModel(isDolly), craneSlides), bitsSet, armLength_,
                        devices);
}

BundleState EmulatedBundle::state(Clock::time_point now) const {
    const auto sample = motion_.at(now);
    BundleState state;
    for (const auto index : members_) {
        state.devices.push_back(config_.devices[index].model);
    }
    state.positions = sample.positions;
    state.activity = sample.activity;
    state.plannedSeconds = sample.plannedSeconds;
    state.progress = sample.progress;
    state.aimIndex = sample.aimIndex;
    state.startIndex = sample.startIndex;
    state.loopActive = sample.loopActive;
    for (std::size_t i = 0; i < keyposes_.size(); ++i) {
        if (keyposes_[i]) {
            state.slotsFilled = static_cast<std::uint8_t>(state.slotsFilled | (1u << i));
            state.keyposeIdentifiers[i] = keyposes_[i]->identifier;
        }
    }
    state.supportedAxes = supported_;
    state.realTimeAxes = realTime_;
    const auto end = motion_.end();
    const bool calibrationDone = end && now >= *end;
    const auto calibrated = calibrationDone ? (calibrated_ | motion_.calibrates()) : calibrated_;
    state.calibratedAxes = static_cast<std::uint8_t>(calibrated & supported_);
    const bool rail = hasModel(isRail);
    state.incline = rail ? incline_ : model::InclineMode::invalid;
    state.inclineWarning = rail && inclineWarning_;
    state.armLength = armLength_;
    return state;
}

core::Bytes EmulatedBundle::statusMessage(Clock::time_point now, std::uint8_t acknowledge) const {
    const auto state = this->state(now);
    StatusReport report;
    for (std::size_t i = 0; i < report.positions.size(); ++i) {
        report.positions[i] = toWire(state.positions[i]);
    }
    report.aimIndex = state.aimIndex;
    report.startIndex = state.startIndex;
    report.loopActive = state.loopActive;
    report.slotsFilled = state.slotsFilled;
    report.activity = state.activity;
    for (const auto index : members_) {
        const auto& device = config_.devices[index];
        report.devices.push_back(
            {device.model, device.firmwareVersion, device.radioVersion, device.batteryPercent});
    }
    report.supportedAxes = state.supportedAxes;
    report.realTimeAxes = state.realTimeAxes;
    report.calibratedAxes = state.calibratedAxes;
    report.acknowledge = acknowledge;
    report.timestamp = static_cast<std::uint32_t>(
        std::chrono::duration_cast<Milliseconds>(now - powerOn_).count());
    report.plannedDurationMs = toWire(state.plannedSeconds * kThousandths);
    report.progress = static_cast<std::int16_t>(std::lround(state.progress * kProgressScale));
    report.incline = state.incline;
    report.inclineWarning = state.inclineWarning;
    report.slotLayout = static_cast<std::uint8_t>(keyposes_.size());
    return encodeStatus(report);
}

}  // namespace kinetra::sim
