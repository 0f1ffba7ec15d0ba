// The command table as device messages, family by family. Runs on each bundle's command thread.
// Scale factors are the devices' fixed-point units: 1000 per unit of position or second, 32000
// for full-scale speeds and accelerations, 1.6146 lens encoder steps per focus unit.
#include "bundle/device_messages.hpp"

#include <algorithm>
#include <array>

#include "bundle/device_message.hpp"
#include "model/numeric_limits.hpp"

namespace kinetra::bundle {
namespace {

using model::AxisSlot;
using model::DeviceFamily;
using model::familyOf;

constexpr double kPositionScale = 1000.0;
constexpr double kTimeScale = 1000.0;
constexpr double kFullScale = 32000.0;
constexpr double kLensStepsPerFocusUnit = 1.6146;
constexpr double kDollyJoystickScale = 100000.0;
constexpr double kDynamicSpeedScale = 2000000.0;
constexpr double kLensSpeedScale = 100.0;
constexpr float kShortestKeyposeDuration = 0.1f;
constexpr float kRealTimeRampTime = 0.1f;  // sent in full-scale units

// The slider joystick message ends with the ramp the rail firmware expects.
constexpr std::uint8_t kSliderJoystickRampA = 0x70;
constexpr std::uint8_t kSliderJoystickRampB = 0x7F;

// Slots that commands can name, in the order their blocks and fields follow.
constexpr std::array kCommandSlots = {AxisSlot::headPan, AxisSlot::headTilt, AxisSlot::slide,
                                      AxisSlot::focus,   AxisSlot::jibPan,   AxisSlot::jibTilt};

BuiltMessage built(std::optional<core::Bytes> message) {
    if (!message) {
        return BuildError::messageTooLong;
    }
    return std::move(*message);
}

std::int32_t position(float value) {
    return scaled(value, kPositionScale);
}
std::int32_t seconds(float value) {
    return scaled(value, kTimeScale);
}
std::int32_t fullScale(float value) {
    return scaled(value, kFullScale);
}
std::int32_t lensSteps(float focus) {
    return truncateToInt32(static_cast<double>(focus) * kLensStepsPerFocusUnit);
}

// Key-pose opcodes per family; the crane arm uses the slider's.
struct KeyposeOpcodes {
    std::uint8_t store;
    std::uint8_t remove;
    std::uint8_t read;
    std::uint8_t readAnswerId;
    std::uint8_t abort;
};
constexpr KeyposeOpcodes kHeadKeypose{0x05, 0x06, 0x53, 18, 0x09};
constexpr KeyposeOpcodes kSliderKeypose{0x07, 0x1D, 0x2D, 9, 0x0C};
constexpr KeyposeOpcodes kDollyKeypose{0x0D, 0x0E, 0x2A, 6, 0x02};
constexpr KeyposeOpcodes kLensKeypose{0x0E, 0x0F, 0x16, 5, 0x04};

std::optional<KeyposeOpcodes> keyposeOpcodes(DeviceModel primary) {
    switch (familyOf(primary)) {
        case DeviceFamily::head:
            return kHeadKeypose;
        case DeviceFamily::slider:
        case DeviceFamily::craneArm:
            return kSliderKeypose;
        case DeviceFamily::dolly:
            return kDollyKeypose;
        case DeviceFamily::lens:
            return kLensKeypose;
        case DeviceFamily::none:
            break;
    }
    return std::nullopt;
}

// Rail calibration mode: which way round the rail stands.
std::uint8_t railCalibrationMode(bool isOnGround, bool isOnLeftSide) {
    if (isOnGround) {
        return isOnLeftSide ? 2 : 3;
    }
    return isOnLeftSide ? 0 : 1;
}

// Crane lengths as the arm computes them: from float, in double, rounded back to float.
// Separate statements keep the compiler from fusing the multiply and add.
std::int32_t craneLength(std::int32_t length, double factor, double offset) {
    const double product = static_cast<double>(static_cast<float>(length)) * factor;
    const float sum = static_cast<float>(product + offset);
    return truncateToInt32(sum);
}

}  // namespace

std::optional<std::uint16_t> minimumRealTimeFirmware(DeviceModel model) {
    switch (model) {
        case DeviceModel::swivelMax:
            return 94;
        case DeviceModel::turretAlpha:
        case DeviceModel::turretBeta:
        case DeviceModel::turretAlpha2:
        case DeviceModel::turretBeta2:
            return 102;
        case DeviceModel::railUnitGen3:
            return 19;
        case DeviceModel::lensDriveMax:
            return 18;
        default:
            return std::nullopt;
    }
}

BuiltMessage realTimeMoveMessage(float duration, const AxisValues& values) {
    std::vector<Field> fields;
    fields.push_back(byteField(0));  // block count, set below
    fields.push_back(field16(fullScale(kRealTimeRampTime)));
    fields.push_back(field16(seconds(duration)));
    std::uint8_t blocks = 0;
    for (const AxisSlot slot : kCommandSlots) {
        if (!values.has(slot)) {
            continue;
        }
        constexpr std::uint8_t kValuesPerBlock = 1;
        fields.push_back(byteField(
            static_cast<std::uint8_t>(static_cast<unsigned>(slot) * 8 + kValuesPerBlock)));
        const double value = values.valueOr0(slot);
        fields.push_back(field32(truncateToInt32(
            slot == AxisSlot::focus ? value * kLensStepsPerFocusUnit * kPositionScale
                                    : value * kPositionScale)));
        ++blocks;
    }
    fields[0] = byteField(blocks);
    core::Bytes out;
    if (!appendDeviceMessage(out, opcode::kRealTimeMove, fields)) {
        return BuildError::messageTooLong;
    }
    return out;
}

BuiltMessages joystickMessages(DeviceModel primary, std::uint8_t supportedAxes,
                               const AxisValues& values) {
    using model::bitOf;
    using model::hasSlot;
    const std::uint8_t given = values.givenSet();
    const std::uint8_t movable = bitOf(AxisSlot::headPan) | bitOf(AxisSlot::headTilt) |
                                 bitOf(AxisSlot::slide) | bitOf(AxisSlot::jibPan) |
                                 bitOf(AxisSlot::jibTilt);
    const bool headBoth =
        hasSlot(supportedAxes, AxisSlot::headPan) && hasSlot(supportedAxes, AxisSlot::headTilt);
    if ((given & movable & ~supportedAxes) != 0 || values.has(AxisSlot::focus) ||
        (headBoth && values.has(AxisSlot::headPan) != values.has(AxisSlot::headTilt)) ||
        values.has(AxisSlot::jibPan) != values.has(AxisSlot::jibTilt)) {
        return BuildError::invalidSetup;
    }
    const auto stick = [&](AxisSlot slot) {
        return std::clamp(values.valueOr0(slot), -1.0f, 1.0f);
    };
    const float pan = stick(AxisSlot::headPan);
    const float tilt = stick(AxisSlot::headTilt);
    const float slide = stick(AxisSlot::slide);
    const float jibPan = stick(AxisSlot::jibPan);
    const float jibTilt = stick(AxisSlot::jibTilt);

    std::vector<core::Bytes> messages;
    const auto add = [&](std::optional<core::Bytes> message) {
        if (!message) {
            return false;
        }
        messages.push_back(std::move(*message));
        return true;
    };
    bool fits = true;
    switch (familyOf(primary)) {
        case DeviceFamily::head:
            if (values.has(AxisSlot::headPan) || values.has(AxisSlot::headTilt)) {
                fits &= add(
                    buildDeviceMessage(0x0A, {field16(fullScale(pan)), field16(fullScale(tilt))}));
            }
            if (values.has(AxisSlot::jibPan)) {
                fits &= add(buildDeviceMessage(
                    0x83, {field16(fullScale(jibPan)), field16(fullScale(jibTilt))}));
            }
            if (values.has(AxisSlot::slide)) {
                fits &= add(buildDeviceMessage(0x0B, {field16(fullScale(slide))}));
            }
            break;
        case DeviceFamily::slider:
            fits = add(buildDeviceMessage(
                0x0D, {field16(fullScale(slide)), byteField(kSliderJoystickRampA),
                       byteField(kSliderJoystickRampB)}));
            break;
        case DeviceFamily::dolly:
            fits = add(buildDeviceMessage(0x0B, {field32(scaled(slide, kDollyJoystickScale))}));
            break;
        case DeviceFamily::craneArm:
            // The arm counts its travel and tilt the other way round.
            if (values.has(AxisSlot::slide)) {
                fits = add(buildDeviceMessage(
                    0x0D, {field16(fullScale(-slide)), byteField(kSliderJoystickRampA),
                           byteField(kSliderJoystickRampB)}));
            } else if (values.has(AxisSlot::jibPan)) {
                fits = add(buildDeviceMessage(
                    0x42, {field16(fullScale(jibPan)), field16(fullScale(-jibTilt))}));
            } else {
                return BuildError::invalidSetup;
            }
            break;
        case DeviceFamily::lens:
        case DeviceFamily::none:
            return BuildError::invalidSetup;
    }
    if (!fits) {
        return BuildError::messageTooLong;
    }
    return messages;
}

BuiltMessage keyposeStoreCurrentPoseMessage(DeviceModel primary, std::uint8_t index,
                                            std::uint32_t identifier) {
    const auto opcodes = keyposeOpcodes(primary);
    if (!opcodes) {
        return BuildError::invalidSetup;
    }
    return built(buildDeviceMessage(
        opcodes->store, {byteField(index), field32(static_cast<std::int32_t>(identifier))}));
}

BuiltMessage keyposeDeletePoseMessage(DeviceModel primary, std::uint8_t index) {
    const auto opcodes = keyposeOpcodes(primary);
    if (!opcodes) {
        return BuildError::invalidSetup;
    }
    return built(buildDeviceMessage(opcodes->remove, {byteField(index)}));
}

BuiltMessage keyposeReadRequestMessage(DeviceModel primary, std::uint8_t index) {
    const auto opcodes = keyposeOpcodes(primary);
    if (!opcodes) {
        return BuildError::invalidSetup;
    }
    return built(buildDeviceMessage(opcodes->read, {byteField(index)}));
}

std::optional<std::uint8_t> keyposeReadAnswerId(DeviceModel primary) {
    const auto opcodes = keyposeOpcodes(primary);
    if (!opcodes) {
        return std::nullopt;
    }
    return opcodes->readAnswerId;
}

BuiltMessage keyposeStoreWithNumericDataMessage(DeviceModel primary, std::uint8_t index,
                                                std::uint32_t identifier,
                                                const AxisValues& values) {
    const Field id = field32(static_cast<std::int32_t>(identifier));
    const auto value = [&](AxisSlot slot) { return values.valueOr0(slot); };
    switch (familyOf(primary)) {
        case DeviceFamily::head:
            // The head's lens port takes focus in plain encoder steps.
            return built(buildDeviceMessage(
                0x8C, {byteField(index), field32(position(value(AxisSlot::headPan))),
                       field32(position(value(AxisSlot::headTilt))),
                       field32(truncateToInt32(value(AxisSlot::focus))),
                       field32(position(value(AxisSlot::slide))), id,
                       field32(position(value(AxisSlot::jibPan))),
                       field32(position(value(AxisSlot::jibTilt)))}));
        case DeviceFamily::slider:
            return built(buildDeviceMessage(
                0x2C, {byteField(index), id, field32(position(value(AxisSlot::slide)))}));
        case DeviceFamily::dolly:
            return built(buildDeviceMessage(
                0x29, {byteField(index), id, field32(position(value(AxisSlot::slide)))}));
        case DeviceFamily::craneArm:
            if (values.has(AxisSlot::slide)) {
                return built(buildDeviceMessage(
                    0x2C, {byteField(index), id, field32(position(-value(AxisSlot::slide)))}));
            }
            if (values.has(AxisSlot::jibPan)) {
                return built(buildDeviceMessage(
                    0x3E, {byteField(index), id, field32(position(value(AxisSlot::jibPan))),
                           field32(position(-value(AxisSlot::jibTilt)))}));
            }
            return BuildError::invalidSetup;
        case DeviceFamily::lens:
            return built(buildDeviceMessage(
                0x27, {byteField(index), id, field32(lensSteps(value(AxisSlot::focus)))}));
        case DeviceFamily::none:
            break;
    }
    return BuildError::invalidSetup;
}

BuiltMessage keyposeMoveMessage(DeviceModel primary, KeyposeMove move) {
    // Devices refuse moves shorter than a tenth of a second; a negative duration means none.
    if (move.duration >= 0.0f && move.duration < kShortestKeyposeDuration) {
        move.duration = kShortestKeyposeDuration;
    }
    const Field ramp = field16(fullScale(move.acceleration));
    const Field duration = field32(seconds(move.duration));
    const Field loop = byteField(move.loop ? 1 : 0);
    switch (familyOf(primary)) {
        case DeviceFamily::head:
            return built(buildDeviceMessage(
                0x07,
                {byteField(move.first), byteField(move.second), loop, ramp, ramp,
                 field32(truncateToInt32(static_cast<double>(move.speed) * 1000.0 * kFullScale)),
                 duration}));
        case DeviceFamily::lens:
            return built(
                buildDeviceMessage(0x0C, {byteField(move.second), byteField(move.first), loop, ramp,
                                          ramp, field32(fullScale(move.speed)), duration}));
        case DeviceFamily::slider:
        case DeviceFamily::craneArm:
            if (move.duration > 0.0f) {
                return built(buildDeviceMessage(
                    0x1E,
                    {loop, duration, ramp, ramp, byteField(move.first), byteField(move.second)}));
            } else {
                // The rail's speed code, computed in float as its firmware does.
                const float speedCode = move.speed * 1070.0f;
                const float offsetCode = speedCode + 10.0f;
                return built(buildDeviceMessage(
                    0x0B, {loop, field32(truncateToInt32(offsetCode)), ramp, ramp,
                           byteField(move.first), byteField(move.second)}));
            }
        case DeviceFamily::dolly:
            if (move.duration > 0.0f) {
                return built(buildDeviceMessage(
                    0x10, {byteField(move.first), byteField(move.second), duration, ramp, loop}));
            }
            return built(
                buildDeviceMessage(0x16, {byteField(move.first), byteField(move.second),
                                          field32(scaled(move.speed, 1000000.0)), ramp, loop}));
        case DeviceFamily::none:
            break;
    }
    return BuildError::invalidSetup;
}

BuiltMessage motionAbortMessage(DeviceModel primary) {
    const auto opcodes = keyposeOpcodes(primary);
    if (!opcodes) {
        return BuildError::invalidSetup;
    }
    return built(buildDeviceMessage(opcodes->abort, {}));
}

BuiltMessage focusManualMoveMessage(DeviceModel primary, float deltaEnc) {
    if (model::isFocusCapableHead(primary)) {
        return built(buildDeviceMessage(0x0C, {field32(truncateToInt32(deltaEnc))}));
    }
    if (primary == DeviceModel::lensDriveMax) {
        return built(buildDeviceMessage(0x19, {field32(scaled(deltaEnc, kLensSpeedScale))}));
    }
    return BuildError::invalidSetup;
}

BuiltMessage calibrateHeadMessage(DeviceModel primary) {
    if (familyOf(primary) == DeviceFamily::head) {
        return built(buildDeviceMessage(0x04, {}));
    }
    return BuildError::invalidSetup;
}

BuiltMessage calibrateRailUnitMessage(DeviceModel primary, bool isOnGround, bool isOnLeftSide) {
    const Field mode = byteField(railCalibrationMode(isOnGround, isOnLeftSide));
    if (familyOf(primary) == DeviceFamily::head) {
        return built(buildDeviceMessage(0x28, {mode}));
    }
    if (model::isRailUnit(primary)) {
        return built(buildDeviceMessage(0x10, {mode}));
    }
    return BuildError::invalidSetup;
}

BuiltMessage calibrateLensMessage(DeviceModel primary) {
    if (model::isFocusCapableHead(primary)) {
        return built(buildDeviceMessage(0x71, {}));
    }
    if (primary == DeviceModel::lensDriveMax) {
        return built(buildDeviceMessage(0x10, {}));
    }
    return BuildError::invalidSetup;
}

BuiltMessage calibrateCraneArmMessage(DeviceModel primary, std::int32_t jibLength,
                                      std::int32_t rodLength) {
    const std::int32_t jib = craneLength(jibLength, 10.0, 74.0);
    const std::int32_t rod = craneLength(rodLength, 9.0, 70.5);
    if (familyOf(primary) == DeviceFamily::head) {
        return built(buildDeviceMessage(0x8D, {field16(jib), field16(rod)}));
    }
    if (primary == DeviceModel::craneArm) {
        return built(buildDeviceMessage(0x45, {field32(jib), field32(rod)}));
    }
    return BuildError::invalidSetup;
}

BuiltMessage inclineWarningConfirmMessage(DeviceModel primary) {
    if (familyOf(primary) == DeviceFamily::head) {
        return built(buildDeviceMessage(0x81, {}));
    }
    if (model::isRailUnit(primary)) {
        return built(buildDeviceMessage(0x32, {}));
    }
    return BuildError::invalidSetup;
}

BuiltMessage dynamicMoveMessage(DeviceModel primary, std::size_t deviceCount, DynamicMove move) {
    if (deviceCount >= 2 || familyOf(primary) != DeviceFamily::head) {
        return BuildError::invalidSetup;
    }
    const Field last = move.byDuration ? field32(seconds(move.speedOrDuration))
                                       : field32(scaled(move.speedOrDuration, kDynamicSpeedScale));
    return built(
        buildDeviceMessage(move.byDuration ? 0xBC : 0xBB,
                           {field32(fullScale(move.headPan)), field32(fullScale(move.headTilt)),
                            field32(fullScale(move.acceleration)), last}));
}

core::Bytes statusRequestMessage() {
    return buildDeviceMessage(opcode::kStatusRequest, {}).value();
}

core::Bytes numericLimitsRequestMessage() {
    return buildDeviceMessage(opcode::kNumericLimitsRequest, {}).value();
}

std::uint8_t numericLimitsAnswerId(DeviceModel primary) {
    const auto code = model::codeOf(primary);
    if (code < 0 || code > 17 || primary == DeviceModel::floorBase ||
        primary == DeviceModel::songbird || primary == DeviceModel::craneArm2) {
        return 0;
    }
    return model::limits_answer::kMessageId;
}

}  // namespace kinetra::bundle
