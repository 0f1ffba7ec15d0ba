// The command table: reads each command's arguments, checks them against the status snapshot
// and plans its device messages. Runs on each bundle's command thread.
#include <spdlog/spdlog.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>
#include <string_view>

#include "bundle/command_plan.hpp"
#include "bundle/device_messages.hpp"
#include "bundle/motion_messages.hpp"
#include "model/axis_slot.hpp"
#include "model/axis_values.hpp"
#include "model/json_numbers.hpp"

namespace kinetra::bundle {
namespace {

using model::AxisSlot;
using model::AxisValues;
using model::DeviceFamily;
using model::DeviceModel;

// Axes a command can name; zoom is reported by devices but never commanded.
constexpr std::uint8_t kCommandAxes = model::kAxisSetMask & ~model::bitOf(AxisSlot::zoom);

struct Context {
    const json& request;
    const DeviceStatusSnapshot& snapshot;
    KeyposeIdCounters& ids;
    DeviceModel primary;
};

// A missing argument reads as null, which then fails its conversion like a wrong type does.
const json& argument(const Context& c, const char* key) {
    static const json kMissing;
    const auto found = c.request.find(key);
    return found == c.request.end() ? kMissing : *found;
}
float readFloat(const Context& c, const char* key) {
    return model::readFloat(argument(c, key));
}
// A key-pose index: a number truncated toward zero. Nothing when it names none of
// the bundle's slots: the message carries one byte, and a slot beyond the bundle's would be
// another slot or none.
std::optional<std::uint8_t> readSlot(const Context& c, const char* key) {
    const double index = std::trunc(model::readNumber(argument(c, key)));
    const auto slots = c.snapshot.keyposeSlotCount().value_or(status_layout::kKeyposeSlots);
    if (!(index >= 0.0 && index < static_cast<double>(slots))) {
        return std::nullopt;
    }
    return static_cast<std::uint8_t>(index);
}

CommandPlan replyWith(std::string_view text) {
    CommandPlan plan;
    plan.reply = resultReply(text);
    return plan;
}
CommandPlan refuse(std::string_view text) {
    spdlog::info("{0}", text);
    return replyWith(text);
}
CommandPlan invalidSetup() {
    spdlog::info("Invalid setup");
    return replyWith(reply_text::kInvalidSetup);
}
// Nothing is built or sent; the reply names the member so that the client can see which.
CommandPlan outOfRange(std::string_view member) {
    spdlog::warn("{0}: {1} does not fit its field; nothing sent", reply_text::kValueOutOfRange,
                 member);
    CommandPlan plan;
    plan.reply = json{{"member", member}, {"result", reply_text::kValueOutOfRange}};
    return plan;
}
CommandPlan failed(BuildError error) {
    if (error == BuildError::invalidSetup) {
        return invalidSetup();
    }
    spdlog::error("Device message too long for its length byte");
    return replyWith(reply_text::kMessageTooLong);
}
// The plan that refuses a message the builder did not build.
template <typename Built>
std::optional<CommandPlan> refusal(const Built& built) {
    if (const auto* error = std::get_if<BuildError>(&built)) {
        return failed(*error);
    }
    if (const auto* range = std::get_if<OutOfRange>(&built)) {
        return outOfRange(range->member);
    }
    return std::nullopt;
}

// Every message awaiting its acknowledgement; the reply tells whether each was acknowledged.
// `mode` is acknowledgedOnce for a message whose effect adds up (docs/device-protocol.md):
// written twice, it would move the gear twice as far.
CommandPlan sendAcknowledged(std::vector<core::Bytes> messages,
                             SendMode mode = SendMode::acknowledged) {
    CommandPlan plan;
    plan.rule = ReplyRule::acknowledged;
    for (auto& message : messages) {
        plan.sends.push_back({std::move(message), mode});
    }
    return plan;
}
CommandPlan sendAcknowledged(BuiltMessage built, SendMode mode = SendMode::acknowledged) {
    if (auto refused = refusal(built)) {
        return std::move(*refused);
    }
    std::vector<core::Bytes> messages;
    messages.push_back(std::move(std::get<core::Bytes>(built)));
    return sendAcknowledged(std::move(messages), mode);
}
CommandPlan sendAwaiting(core::Bytes message, std::uint8_t answerId, const Context& c,
                         ReplyRule rule) {
    CommandPlan plan;
    plan.rule = rule;
    plan.sends.push_back({std::move(message), SendMode::awaitAnswer, answerId,
                          static_cast<std::uint8_t>(model::codeOf(c.primary))});
    return plan;
}

CommandPlan realTimeMoveFixedDuration(const Context& c) {
    const float duration = readFloat(c, "duration");
    const AxisValues values = model::parseAxisValues(c.request);
    for (const DeviceEntry& device : c.snapshot.validDevices()) {
        const auto minimum = minimumRealTimeFirmware(device.model);
        if (minimum && device.firmwareVersion < *minimum) {
            return refuse(reply_text::kFirmwareUpdateRequired);
        }
    }
    if (values.givenSet() != (c.snapshot.realTimeSupportedAxes & kCommandAxes)) {
        return refuse(reply_text::kRealTimeAxesIncompatible);
    }
    auto built = realTimeMoveMessage(duration, values);
    if (auto refused = refusal(built)) {
        return std::move(*refused);
    }
    CommandPlan plan = replyWith(reply_text::kOk);
    plan.sends.push_back({std::move(std::get<core::Bytes>(built)), SendMode::noWait});
    return plan;
}

CommandPlan joystickMove(const Context& c) {
    const AxisValues values = model::parseAxisValues(c.request);
    auto built = joystickMessages(c.primary, c.snapshot.supportedAxes, values);
    if (auto refused = refusal(built)) {
        return std::move(*refused);
    }
    // With nothing to move the plan is empty and still answers "ok".
    return sendAcknowledged(std::move(std::get<std::vector<core::Bytes>>(built)));
}

CommandPlan keyposeStoreCurrentPose(const Context& c) {
    const auto index = readSlot(c, "index");
    const std::uint32_t id = c.ids.nextCurrentPoseId();
    if (!index) {
        return outOfRange("index");
    }
    return sendAcknowledged(keyposeStoreCurrentPoseMessage(c.primary, *index, id));
}

CommandPlan keyposeDeletePose(const Context& c) {
    const auto index = readSlot(c, "index");
    if (!index) {
        return outOfRange("index");
    }
    return sendAcknowledged(keyposeDeletePoseMessage(c.primary, *index));
}

CommandPlan keyposeStoreWithNumericData(const Context& c) {
    const auto index = readSlot(c, "index");
    const AxisValues values = model::parseAxisValues(c.request);
    const std::uint32_t id = c.ids.nextNumericDataId();
    if (!index) {
        return outOfRange("index");
    }
    if (values.givenSet() != (c.snapshot.supportedAxes & kCommandAxes)) {
        return refuse(reply_text::kMissingAxisValues);
    }
    return sendAcknowledged(keyposeStoreWithNumericDataMessage(c.primary, *index, id, values));
}

// The key-pose moves and loops: "index" is the target of a move, "index1" and "index2" the
// ends of a loop; the move goes by "speed" or by "duration".
CommandPlan keyposeMove(const Context& c, bool loop, bool byDuration) {
    KeyposeMove move;
    move.loop = loop;
    move.byDuration = byDuration;
    std::optional<std::uint8_t> first = move.first;
    if (loop) {
        first = readSlot(c, "index1");
        if (!first) {
            return outOfRange("index1");
        }
    }
    const char* secondKey = loop ? "index2" : "index";
    const auto second = readSlot(c, secondKey);
    if (!second) {
        return outOfRange(secondKey);
    }
    move.first = *first;
    move.second = *second;
    (byDuration ? move.duration : move.speed) = readFloat(c, byDuration ? "duration" : "speed");
    move.acceleration = readFloat(c, "acceleration");
    return sendAcknowledged(keyposeMoveMessage(c.primary, move));
}
CommandPlan keyposeMoveFixedSpeed(const Context& c) {
    return keyposeMove(c, false, false);
}
CommandPlan keyposeMoveFixedDuration(const Context& c) {
    return keyposeMove(c, false, true);
}
CommandPlan keyposeLoopFixedSpeed(const Context& c) {
    return keyposeMove(c, true, false);
}
CommandPlan keyposeLoopFixedDuration(const Context& c) {
    return keyposeMove(c, true, true);
}

CommandPlan keyposeReadNumericValues(const Context& c) {
    const auto index = readSlot(c, "index");
    if (!index) {
        return outOfRange("index");
    }
    auto built = keyposeReadRequestMessage(c.primary, *index);
    const auto answerId = keyposeReadAnswerId(c.primary);
    if (auto refused = refusal(built)) {
        return std::move(*refused);
    }
    CommandPlan plan = sendAwaiting(std::move(std::get<core::Bytes>(built)), answerId.value_or(0),
                                    c, ReplyRule::keyposeRead);
    plan.primary = c.primary;
    plan.supportedAxes = c.snapshot.supportedAxes;
    plan.requestedIndex = *index;
    return plan;
}

CommandPlan numericLimitValues(const Context& c) {
    return sendAwaiting(numericLimitsRequestMessage(), numericLimitsAnswerId(c.primary), c,
                        ReplyRule::numericLimits);
}

CommandPlan focusManualMove(const Context& c) {
    const float deltaEnc = readFloat(c, "deltaEnc");
    if (!model::hasSlot(c.snapshot.supportedAxes, AxisSlot::focus)) {
        return invalidSetup();
    }
    // A step relative to where the focus stands: at most once.
    return sendAcknowledged(focusManualMoveMessage(c.primary, deltaEnc),
                            SendMode::acknowledgedOnce);
}

CommandPlan calibrate(const Context& c) {
    const auto device = argument(c, "device").get<std::string>();
    constexpr std::array<std::string_view, 6> kHeads = {
        "turretAlpha", "turretBeta", "turretAlpha2", "turretBeta2", "turretGamma", "swivelMax"};
    if (std::find(kHeads.begin(), kHeads.end(), device) != kHeads.end()) {
        return sendAcknowledged(calibrateHeadMessage(c.primary));
    }
    if (device == "railUnit" || device == "railUnitGen3") {
        const bool isOnGround = argument(c, "isOnGround").get<bool>();
        const bool isOnLeftSide = argument(c, "isOnLeftSide").get<bool>();
        return sendAcknowledged(calibrateRailUnitMessage(c.primary, isOnGround, isOnLeftSide));
    }
    if (device == "lensDriveMax") {
        return sendAcknowledged(calibrateLensMessage(c.primary));
    }
    if (device == "craneArm") {
        const std::int32_t jibLength = model::readInt32(argument(c, "jibLength"));
        const std::int32_t rodLength = model::readInt32(argument(c, "rodLength"));
        return sendAcknowledged(calibrateCraneArmMessage(c.primary, jibLength, rodLength));
    }
    return invalidSetup();
}

CommandPlan status(const Context&) {
    std::vector<core::Bytes> messages;
    messages.push_back(statusRequestMessage());
    return sendAcknowledged(std::move(messages));
}

CommandPlan motionAbort(const Context& c) {
    return sendAcknowledged(motionAbortMessage(c.primary));
}

CommandPlan railUnitInclineWarningConfirm(const Context& c) {
    return sendAcknowledged(inclineWarningConfirmMessage(c.primary));
}

CommandPlan dynamicMove(const Context& c, bool byDuration) {
    // Checked before any argument is read: a stacked bundle answers the same whatever it got.
    const std::size_t deviceCount = c.snapshot.validDevices().size();
    if (deviceCount >= 2 || model::familyOf(c.primary) != DeviceFamily::head) {
        return invalidSetup();
    }
    DynamicMove move;
    move.byDuration = byDuration;
    move.headPan = readFloat(c, "headPan");
    move.headTilt = readFloat(c, "headTilt");
    move.acceleration = readFloat(c, "acceleration");
    move.speedOrDuration = readFloat(c, byDuration ? "duration" : "speed");
    // A turn by the given angles from where the head stands: at most once.
    return sendAcknowledged(dynamicMoveMessage(c.primary, deviceCount, move),
                            SendMode::acknowledgedOnce);
}
CommandPlan dynamicMoveFixedSpeed(const Context& c) {
    return dynamicMove(c, false);
}
CommandPlan dynamicMoveFixedDuration(const Context& c) {
    return dynamicMove(c, true);
}

struct CommandRow {
    std::string_view name;
    CommandPlan (*plan)(const Context&);
};

constexpr std::array kCommands = {
    CommandRow{"realTimeMoveFixedDuration", realTimeMoveFixedDuration},
    CommandRow{"joystickMove", joystickMove},
    CommandRow{"keyposeStoreCurrentPose", keyposeStoreCurrentPose},
    CommandRow{"keyposeDeletePose", keyposeDeletePose},
    CommandRow{"keyposeStoreWithNumericData", keyposeStoreWithNumericData},
    CommandRow{"keyposeMoveFixedSpeed", keyposeMoveFixedSpeed},
    CommandRow{"keyposeMoveFixedDuration", keyposeMoveFixedDuration},
    CommandRow{"keyposeLoopFixedSpeed", keyposeLoopFixedSpeed},
    CommandRow{"keyposeLoopFixedDuration", keyposeLoopFixedDuration},
    CommandRow{"keyposeReadNumericValues", keyposeReadNumericValues},
    CommandRow{"numericLimitValues", numericLimitValues},
    CommandRow{"focusManualMove", focusManualMove},
    CommandRow{"calibrate", calibrate},
    CommandRow{"status", status},
    CommandRow{"motionAbort", motionAbort},
    CommandRow{"railUnitInclineWarningConfirm", railUnitInclineWarningConfirm},
    CommandRow{"dynamicMoveFixedSpeed", dynamicMoveFixedSpeed},
    CommandRow{"dynamicMoveFixedDuration", dynamicMoveFixedDuration},
};

}  // namespace

std::vector<std::string_view> commandNames() {
    std::vector<std::string_view> names;
    for (const CommandRow& row : kCommands) {
        names.push_back(row.name);
    }
    return names;
}

CommandPlan planCommand(const json& request, const DeviceStatusSnapshot& snapshot,
                        KeyposeIdCounters& ids) {
    try {
        if (!request.is_object()) {
            return replyWith(reply_text::kParseError);
        }
        const auto name = request.at("command").get<std::string>();
        spdlog::info("{0}", name);
        const auto row = std::find_if(kCommands.begin(), kCommands.end(),
                                      [&](const CommandRow& r) { return r.name == name; });
        if (row == kCommands.end()) {
            return replyWith(reply_text::kInvalidCommand);
        }
        return row->plan(Context{request, snapshot, ids, snapshot.primaryModel()});
    } catch (const json::exception& error) {
        spdlog::error("{0}", error.what());
        return replyWith(reply_text::kParseError);
    }
}

}  // namespace kinetra::bundle
