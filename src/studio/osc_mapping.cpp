#include "studio/osc_mapping.hpp"

#include <fmt/format.h>
#include <array>
#include <cmath>

#include "model/axis_slot.hpp"

namespace kinetra::studio {
namespace {

using model::AxisSlot;
using model::hasSlot;

constexpr std::string_view kPrefix = "/kinetra/";
constexpr std::string_view kNumericTags = "ifhd";

using Numbers = std::vector<double>;

struct Row {
    std::string_view suffix;  // after "/kinetra/<linkID>"
    std::size_t minArguments;
    std::size_t maxArguments;
    OscAction (*map)(const std::string& linkId, const Numbers& values, const AxesLookup& axesOf);
};

bool within(double value, double low, double high) {
    return std::isfinite(value) && value >= low && value <= high;
}

std::string outOfRange(std::string_view what, double value) {
    return fmt::format("{0} {1} is out of range", what, value);
}

std::optional<int> slotOf(double value) {
    if (!within(value, 0, kHighestKeyposeSlot) || std::trunc(value) != value) {
        return std::nullopt;
    }
    return static_cast<int>(value);
}

OscAction abortOne(const std::string& linkId, const Numbers&, const AxesLookup&) {
    return BundleCommand{linkId, {{"command", "motionAbort"}}};
}

// pan, tilt, slide in -1..1, given to the axes the bundle has: a head's pan and tilt, or a
// crane arm's jib when there is no head; the slide when there is one.
OscAction joystick(const std::string& linkId, const Numbers& v, const AxesLookup& axesOf) {
    constexpr std::array<std::string_view, 3> kNames{"pan", "tilt", "slide"};
    for (std::size_t i = 0; i < kNames.size(); ++i) {
        if (!within(v[i], -1, 1)) {
            return outOfRange(kNames[i], v[i]);
        }
    }
    const auto axes = axesOf(linkId);
    if (!axes) {
        return fmt::format("{0} is not paired or reports no status", linkId);
    }
    json request{{"command", "joystickMove"}};
    const bool head =
        hasSlot(axes->supported, AxisSlot::headPan) || hasSlot(axes->supported, AxisSlot::headTilt);
    if (hasSlot(axes->supported, AxisSlot::headPan)) {
        request["headPan"] = v[0];
    }
    if (hasSlot(axes->supported, AxisSlot::headTilt)) {
        request["headTilt"] = v[1];
    }
    if (!head && hasSlot(axes->supported, AxisSlot::jibPan) &&
        hasSlot(axes->supported, AxisSlot::jibTilt)) {
        request["craneMaxPan"] = v[0];
        request["craneMaxTilt"] = v[1];
    }
    if (hasSlot(axes->supported, AxisSlot::slide)) {
        request["slide"] = v[2];
    }
    if (request.size() == 1) {
        return fmt::format("{0} has no axis a joystick moves", linkId);
    }
    bool moving = false;
    for (const auto& [key, value] : request.items()) {
        moving = moving || (value.is_number() && value.get<double>() != 0.0);
    }
    return BundleCommand{linkId, std::move(request), true, moving};
}

OscAction keyposeStore(const std::string& linkId, const Numbers& v, const AxesLookup&) {
    const auto slot = slotOf(v[0]);
    if (!slot) {
        return outOfRange("key-pose slot", v[0]);
    }
    return BundleCommand{linkId, {{"command", "keyposeStoreCurrentPose"}, {"index", *slot}}};
}

OscAction keyposeGo(const std::string& linkId, const Numbers& v, const AxesLookup&) {
    const auto slot = slotOf(v[0]);
    if (!slot) {
        return outOfRange("key-pose slot", v[0]);
    }
    if (!within(v[1], 0, kLongestKeyposeMove) || v[1] <= 0) {
        return outOfRange("duration", v[1]);
    }
    const double acceleration = v.size() > 2 ? v[2] : kDefaultKeyposeAcceleration;
    if (!within(acceleration, 0, 1)) {
        return outOfRange("acceleration", acceleration);
    }
    return BundleCommand{linkId,
                         {{"command", "keyposeMoveFixedDuration"},
                          {"index", *slot},
                          {"duration", v[1]},
                          {"acceleration", acceleration}}};
}

// seconds, pan, tilt, slide, given to exactly the bundle's real-time axes (the bundle refuses
// a move whose axes differ from them). Pan and tilt drive a crane arm's jib as well.
OscAction realTimeMove(const std::string& linkId, const Numbers& v, const AxesLookup& axesOf) {
    if (!within(v[0], 0, kLongestRealTimeMove) || v[0] <= 0) {
        return outOfRange("duration", v[0]);
    }
    for (std::size_t i = 1; i < v.size(); ++i) {
        if (!std::isfinite(v[i])) {
            return outOfRange("position", v[i]);
        }
    }
    const auto axes = axesOf(linkId);
    if (!axes) {
        return fmt::format("{0} is not paired or reports no status", linkId);
    }
    if (hasSlot(axes->realTime, AxisSlot::focus)) {
        return fmt::format("{0} moves focus in real time, which /move does not carry", linkId);
    }
    const std::array<std::pair<AxisSlot, double>, 5> sources{{{AxisSlot::headPan, v[1]},
                                                              {AxisSlot::headTilt, v[2]},
                                                              {AxisSlot::slide, v[3]},
                                                              {AxisSlot::jibPan, v[1]},
                                                              {AxisSlot::jibTilt, v[2]}}};
    json request{{"command", "realTimeMoveFixedDuration"}, {"duration", v[0]}};
    for (const auto& [slot, value] : sources) {
        if (hasSlot(axes->realTime, slot)) {
            request[std::string(*model::requestKeyOf(slot))] = value;
        }
    }
    if (request.size() == 2) {
        return fmt::format("{0} has no real-time axes", linkId);
    }
    return BundleCommand{linkId, std::move(request)};
}

constexpr std::array<Row, 5> kRows{{
    {"abort", 0, 1, abortOne},
    {"joystick", 3, 3, joystick},
    {"keypose/store", 1, 1, keyposeStore},
    {"keypose/go", 2, 3, keyposeGo},
    {"move", 4, 4, realTimeMove},
}};

std::string typeTags(const OscMessage& message) {
    std::string tags(",");
    for (const auto& argument : message.arguments) {
        tags += argument.tag;
    }
    return tags;
}

}  // namespace

OscAction mapOscMessage(const OscMessage& message, const AxesLookup& axesOf) {
    const std::string_view address = message.address;
    if (!address.starts_with(kPrefix)) {
        return fmt::format("unknown address {0}", address);
    }
    Numbers values;
    for (const auto& argument : message.arguments) {
        if (kNumericTags.find(argument.tag) == std::string_view::npos) {
            return fmt::format("{0}: type tags {1} are not numbers", address, typeTags(message));
        }
        values.push_back(argument.number);
    }
    const std::string_view rest = address.substr(kPrefix.size());
    if (rest == "abort") {
        if (values.size() > 1) {
            return fmt::format("{0}: wrong type tags {1}", address, typeTags(message));
        }
        return AbortAll{};
    }
    const auto slash = rest.find('/');
    if (slash == std::string_view::npos || slash == 0) {
        return fmt::format("unknown address {0}", address);
    }
    const std::string linkId(rest.substr(0, slash));
    const std::string_view suffix = rest.substr(slash + 1);
    for (const auto& row : kRows) {
        if (row.suffix != suffix) {
            continue;
        }
        if (values.size() < row.minArguments || values.size() > row.maxArguments) {
            return fmt::format("{0}: wrong type tags {1}", address, typeTags(message));
        }
        auto action = row.map(linkId, values, axesOf);
        if (auto* reason = std::get_if<std::string>(&action)) {
            *reason = fmt::format("{0}: {1}", address, *reason);
        }
        return action;
    }
    return fmt::format("unknown address {0}", address);
}

BundleCommand zeroJoystick(const BundleCommand& moving) {
    BundleCommand zero = moving;
    for (auto& [key, value] : zero.request.items()) {
        if (value.is_number()) {
            value = 0.0;
        }
    }
    zero.moving = false;
    return zero;
}

}  // namespace kinetra::studio
