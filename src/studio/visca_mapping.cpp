// VISCA messages onto bundle commands, and inquiry answers from the latest status. Pure; called
// by the VISCA thread.
#include "studio/visca_mapping.hpp"

#include <algorithm>
#include <cmath>

#include <fmt/format.h>

#include "model/axis_slot.hpp"

namespace kinetra::studio::visca {
namespace {

using model::AxisSlot;
using model::hasSlot;

constexpr std::size_t index(AxisSlot slot) {
    return static_cast<std::size_t>(slot);
}

Refusal noStatus(const std::string& linkId) {
    return Refusal{fmt::format("{0} is not paired or reports no status", linkId)};
}

// The slots VISCA's pan and tilt drive in `axes`: the head's where it has either, else a crane
// arm's jib; nothing for an axis the set lacks.
struct PanTilt {
    std::optional<AxisSlot> pan;
    std::optional<AxisSlot> tilt;
};

PanTilt panTiltIn(std::uint8_t axes) {
    const auto pick = [axes](AxisSlot slot) {
        return hasSlot(axes, slot) ? std::optional(slot) : std::nullopt;
    };
    if (hasSlot(axes, AxisSlot::headPan) || hasSlot(axes, AxisSlot::headTilt)) {
        return {pick(AxisSlot::headPan), pick(AxisSlot::headTilt)};
    }
    return {pick(AxisSlot::jibPan), pick(AxisSlot::jibTilt)};
}

std::string requestKey(AxisSlot slot) {
    return std::string(*model::requestKeyOf(slot));
}

// Seconds for `distance` degrees at VISCA speed `speed` of `top`.
double secondsFor(double distance, std::uint8_t speed, std::uint8_t top) {
    return std::abs(distance) / (kTopDegreesPerSecond * speed / top);
}

// Degrees to the thousandth the devices take them in.
double thousandths(double degrees) {
    return std::round(degrees * 1000.0) / 1000.0;
}

Mapped moveTo(double pan, double tilt, std::uint8_t panSpeed, std::uint8_t tiltSpeed,
              const std::string& linkId, const LinkView& view) {
    pan = thousandths(pan);
    tilt = thousandths(tilt);
    const PanTilt axes = panTiltIn(view.axes.realTime);
    if (!axes.pan && !axes.tilt) {
        return Refusal{fmt::format("{0} moves neither pan nor tilt in real time", linkId)};
    }
    if (hasSlot(view.axes.realTime, AxisSlot::focus)) {
        return Refusal{fmt::format(
            "{0} moves focus in real time, which a pan-tilt position does not carry", linkId)};
    }
    json request{{"command", "realTimeMoveFixedDuration"}};
    Done done{Done::Kind::moveEnds, {}, {}, 0};
    double seconds = kShortestMoveSeconds;
    for (const auto slot : model::kAllAxisSlots) {
        if (!hasSlot(view.axes.realTime, slot) || slot == AxisSlot::zoom) {
            continue;
        }
        const auto& reading = view.readings[index(slot)];
        if (!reading) {
            return Refusal{
                fmt::format("{0} reports no {1} to move from", linkId, model::axisNameOf(slot))};
        }
        double value = *reading;  // every other real-time axis holds where it is
        if (slot == axes.pan || slot == axes.tilt) {
            const bool isPan = slot == axes.pan;
            value = isPan ? pan : tilt;
            seconds =
                std::max(seconds, isPan ? secondsFor(value - *reading, panSpeed, kTopPanSpeed)
                                        : secondsFor(value - *reading, tiltSpeed, kTopTiltSpeed));
            done.target = std::pair(axes.pan ? pan : 0.0, axes.tilt ? tilt : 0.0);
        }
        request[requestKey(slot)] = value;
    }
    // Whole milliseconds: the duration travels as milliseconds.
    const double milliseconds =
        std::clamp(std::ceil(seconds * 1000.0 - 1e-6), kShortestMoveSeconds * 1000.0,
                   kLongestMoveSeconds * 1000.0);
    request["duration"] = milliseconds / 1000.0;
    done.duration = std::chrono::milliseconds(std::lround(milliseconds));
    return Plan{BundleCommand{linkId, std::move(request)}, done};
}

std::optional<double> current(const LinkView& view, std::optional<AxisSlot> slot) {
    return slot ? view.readings[index(*slot)] : std::nullopt;
}

}  // namespace

bool reached(const Done& done, const LinkView& view) {
    if (!done.target) {
        return false;
    }
    const PanTilt axes = panTiltIn(view.axes.realTime);
    const auto near = [&](std::optional<AxisSlot> slot, double target) {
        const auto reading = current(view, slot);
        return !slot || (reading && std::abs(*reading - target) <= kReachedDegrees);
    };
    return near(axes.pan, done.target->first) && near(axes.tilt, done.target->second);
}

std::int16_t toUnits(double degrees, double unitDegrees) {
    const double units = std::round(degrees / unitDegrees);
    if (!std::isfinite(units)) {
        return 0;
    }
    return static_cast<std::int16_t>(std::clamp(units, -32768.0, 32767.0));
}

Mapped mapDrive(const PanTiltDrive& drive, const std::string& linkId,
                const std::optional<LinkView>& view) {
    if (!view) {
        return noStatus(linkId);
    }
    const PanTilt axes = panTiltIn(view->axes.supported);
    // A crane arm's jib takes its pan and tilt only together.
    if ((!axes.pan && !axes.tilt) || (axes.pan == AxisSlot::jibPan && !axes.tilt) ||
        (axes.tilt == AxisSlot::jibTilt && !axes.pan)) {
        return Refusal{fmt::format("{0} has no pan or tilt axis", linkId)};
    }
    json request{{"command", "joystickMove"}};
    const double pan = drive.panDirection * static_cast<double>(drive.panSpeed) / kTopPanSpeed;
    const double tilt = drive.tiltDirection * static_cast<double>(drive.tiltSpeed) / kTopTiltSpeed;
    if (axes.pan) {
        request[requestKey(*axes.pan)] = pan;
    }
    if (axes.tilt) {
        request[requestKey(*axes.tilt)] = tilt;
    }
    const bool moving = (axes.pan && pan != 0.0) || (axes.tilt && tilt != 0.0);
    return Plan{BundleCommand{linkId, std::move(request), true, moving}, Done{}};
}

Mapped mapMove(const PanTiltMove& move, const std::string& linkId,
               const std::optional<LinkView>& view, double unitDegrees) {
    if (!view) {
        return noStatus(linkId);
    }
    double pan = move.pan * unitDegrees;
    double tilt = move.tilt * unitDegrees;
    if (move.relative) {
        const PanTilt axes = panTiltIn(view->axes.realTime);
        pan += current(*view, axes.pan).value_or(0.0);
        tilt += current(*view, axes.tilt).value_or(0.0);
    }
    return moveTo(pan, tilt, move.panSpeed, move.tiltSpeed, linkId, *view);
}

Mapped mapHome(const std::string& linkId, const std::optional<LinkView>& view) {
    if (!view) {
        return noStatus(linkId);
    }
    return moveTo(0.0, 0.0, kHomeSpeed, kHomeSpeed, linkId, *view);
}

Mapped mapMemory(const Memory& memory, const std::string& linkId,
                 const std::optional<LinkView>& view) {
    if (!view) {
        return noStatus(linkId);
    }
    const int slot = memory.slot;
    if (slot >= static_cast<int>(view->keyposeSlots.size())) {
        return Refusal{fmt::format("{0} has {1} key-pose slots; preset {2} is beyond them", linkId,
                                   view->keyposeSlots.size(), slot)};
    }
    switch (memory.action) {
        case MemoryAction::set:
            return Plan{{linkId, {{"command", "keyposeStoreCurrentPose"}, {"index", slot}}},
                        {Done::Kind::slotFilled, {}, {}, slot}};
        case MemoryAction::reset:
            return Plan{{linkId, {{"command", "keyposeDeletePose"}, {"index", slot}}},
                        {Done::Kind::slotEmpty, {}, {}, slot}};
        case MemoryAction::recall:
            break;
    }
    if (!view->keyposeSlots[static_cast<std::size_t>(slot)]) {
        return Refusal{fmt::format("{0} has no key pose in slot {1}", linkId, slot)};
    }
    return Plan{{linkId,
                 {{"command", "keyposeMoveFixedSpeed"},
                  {"index", slot},
                  {"speed", kRecallSpeed},
                  {"acceleration", kRecallAcceleration}}},
                {Done::Kind::moveEnds, {}, {}, slot}};
}

Mapped mapFocusStep(int direction, std::uint8_t speed, const std::string& linkId,
                    const std::optional<LinkView>& view) {
    if (!view) {
        return noStatus(linkId);
    }
    if (!hasSlot(view->axes.supported, AxisSlot::focus)) {
        return Refusal{fmt::format("{0} has no focus axis", linkId)};
    }
    const double seconds = std::chrono::duration<double>(kFocusStepInterval).count();
    const double steps = std::round(direction * kFocusTopStepsPerSecond *
                                    (std::min(speed, kTopFocusSpeed) + 1) / 8.0 * seconds);
    return Plan{{linkId, {{"command", "focusManualMove"}, {"deltaEnc", steps}}}, Done{}};
}

std::variant<Bytes, Refusal> panTiltPosition(const std::optional<LinkView>& view,
                                             double unitDegrees) {
    if (!view) {
        return Refusal{"no paired bundle reports a status"};
    }
    const PanTilt axes = panTiltIn(view->axes.supported);
    const auto pan = current(*view, axes.pan);
    const auto tilt = current(*view, axes.tilt);
    if (!pan && !tilt) {
        return Refusal{"the bundle reports no pan or tilt"};
    }
    Bytes data;
    appendNibbles(data, static_cast<std::uint16_t>(toUnits(pan.value_or(0.0), unitDegrees)));
    appendNibbles(data, static_cast<std::uint16_t>(toUnits(tilt.value_or(0.0), unitDegrees)));
    return data;
}

std::variant<Bytes, Refusal> focusPosition(const std::optional<LinkView>& view) {
    if (!view) {
        return Refusal{"no paired bundle reports a status"};
    }
    const auto focus = view->readings[index(AxisSlot::focus)];
    if (!focus) {
        return Refusal{"the bundle reports no focus"};
    }
    Bytes data;
    appendNibbles(data, static_cast<std::uint16_t>(std::clamp(std::round(*focus), 0.0, 65535.0)));
    return data;
}

}  // namespace kinetra::studio::visca
