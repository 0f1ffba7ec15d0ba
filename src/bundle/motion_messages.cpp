// Motion messages of the command table: real-time moves, the joystick, key-pose moves and loops,
// and the head's dynamic moves. Runs on each bundle's command thread.
#include "bundle/motion_messages.hpp"

#include <algorithm>
#include <array>

#include "bundle/device_message.hpp"
#include "bundle/device_opcodes.hpp"
#include "bundle/device_units.hpp"

namespace kinetra::bundle {
namespace {

using model::AxisSlot;
using model::DeviceFamily;
using model::familyOf;
using units::fullScale;
using units::position;
using units::seconds;

constexpr double kDollyJoystickScale = 100000.0;
constexpr double kDollySpeedScale = 1000000.0;
constexpr double kDynamicSpeedScale = 2000000.0;
constexpr float kShortestKeyposeDuration = 0.1f;
constexpr float kRealTimeRampTime = 0.1f;  // sent in full-scale units

// The slider joystick message ends with the ramp the rail firmware expects.
constexpr std::uint8_t kSliderJoystickRampA = 0x70;
constexpr std::uint8_t kSliderJoystickRampB = 0x7F;

// Slots that commands can name, in the order their blocks and fields follow.
constexpr std::array kCommandSlots = {AxisSlot::headPan, AxisSlot::headTilt, AxisSlot::slide,
                                      AxisSlot::focus,   AxisSlot::jibPan,   AxisSlot::jibTilt};

}  // namespace

BuiltMessage realTimeMoveMessage(float duration, const AxisValues& values) {
    FieldScaler scaler;
    std::vector<Field> fields;
    fields.push_back(byteField(0));  // block count, set below
    fields.push_back(field16(fullScale(kRealTimeRampTime)));
    // Milliseconds in 16 bits: at most 65.535 s.
    fields.push_back(field16(scaler.fit("duration", duration * units::kTimeScale, kUnsigned16)));
    std::uint8_t blocks = 0;
    for (const AxisSlot slot : kCommandSlots) {
        if (!values.has(slot)) {
            continue;
        }
        constexpr std::uint8_t kValuesPerBlock = 1;
        fields.push_back(byteField(
            static_cast<std::uint8_t>(static_cast<unsigned>(slot) * 8 + kValuesPerBlock)));
        const double value = values.valueOr0(slot);
        fields.push_back(field32(scaler.fit(
            model::requestKeyOf(slot).value_or("axis"),
            slot == AxisSlot::focus ? value * units::kLensStepsPerFocusUnit * units::kPositionScale
                                    : value * units::kPositionScale,
            kSigned32)));
        ++blocks;
    }
    if (scaler.failure()) {
        return *scaler.failure();
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
                fits &=
                    add(buildDeviceMessage(opcode::head::kJoystickPanTilt,
                                           {field16(fullScale(pan)), field16(fullScale(tilt))}));
            }
            if (values.has(AxisSlot::jibPan)) {
                fits &= add(
                    buildDeviceMessage(opcode::head::kJoystickJib,
                                       {field16(fullScale(jibPan)), field16(fullScale(jibTilt))}));
            }
            if (values.has(AxisSlot::slide)) {
                fits &= add(
                    buildDeviceMessage(opcode::head::kJoystickSlide, {field16(fullScale(slide))}));
            }
            break;
        case DeviceFamily::slider:
            fits =
                add(buildDeviceMessage(opcode::slider::kJoystick,
                                       {field16(fullScale(slide)), byteField(kSliderJoystickRampA),
                                        byteField(kSliderJoystickRampB)}));
            break;
        case DeviceFamily::dolly:
            fits = add(buildDeviceMessage(opcode::dolly::kJoystick,
                                          {field32(scaled(slide, kDollyJoystickScale))}));
            break;
        case DeviceFamily::craneArm:
            // The arm counts its travel and tilt the other way round.
            if (values.has(AxisSlot::slide)) {
                fits = add(
                    buildDeviceMessage(opcode::slider::kJoystick,
                                       {field16(fullScale(-slide)), byteField(kSliderJoystickRampA),
                                        byteField(kSliderJoystickRampB)}));
            } else if (values.has(AxisSlot::jibPan)) {
                fits = add(
                    buildDeviceMessage(opcode::craneArm::kJoystickJib,
                                       {field16(fullScale(jibPan)), field16(fullScale(-jibTilt))}));
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

BuiltMessage keyposeMoveMessage(DeviceModel primary, KeyposeMove move) {
    // Devices refuse moves shorter than a tenth of a second; a negative duration means none
    // (the form by speed), and a client may not ask for one.
    if (move.duration >= 0.0f && move.duration < kShortestKeyposeDuration) {
        move.duration = kShortestKeyposeDuration;
    }
    FieldScaler scaler;
    const double speed = move.speed;
    const Field ramp =
        field16(scaler.fit("acceleration", move.acceleration * units::kFullScale, kSigned16));
    const Field duration =
        move.byDuration
            ? field32(scaler.fit("duration", move.duration * units::kTimeScale, kNonNegative32))
            : field32(seconds(move.duration));
    // The speed is only read by the form by speed; the other form sends its fixed -1.
    const auto bySpeed = [&](double scaledSpeed) {
        return move.byDuration ? field32(truncateToInt32(scaledSpeed))
                               : field32(scaler.fit("speed", scaledSpeed, kSigned32));
    };
    const Field loop = byteField(move.loop ? 1 : 0);
    switch (familyOf(primary)) {
        case DeviceFamily::head:
            return builtChecked(scaler, opcode::head::kKeyposeMove,
                                {byteField(move.first), byteField(move.second), loop, ramp, ramp,
                                 bySpeed(speed * 1000.0 * units::kFullScale), duration});
        case DeviceFamily::lens:
            return builtChecked(scaler, opcode::lens::kKeyposeMove,
                                {byteField(move.second), byteField(move.first), loop, ramp, ramp,
                                 bySpeed(speed * units::kFullScale), duration});
        case DeviceFamily::slider:
        case DeviceFamily::craneArm:
            if (move.duration > 0.0f) {
                return builtChecked(
                    scaler, opcode::slider::kKeyposeMoveByDuration,
                    {loop, duration, ramp, ramp, byteField(move.first), byteField(move.second)});
            } else {
                // The rail's speed code, computed in float as its firmware does.
                const float speedCode = move.speed * 1070.0f;
                const float offsetCode = speedCode + 10.0f;
                return builtChecked(scaler, opcode::slider::kKeyposeMoveBySpeed,
                                    {loop, bySpeed(offsetCode), ramp, ramp, byteField(move.first),
                                     byteField(move.second)});
            }
        case DeviceFamily::dolly:
            if (move.duration > 0.0f) {
                return builtChecked(
                    scaler, opcode::dolly::kKeyposeMoveByDuration,
                    {byteField(move.first), byteField(move.second), duration, ramp, loop});
            }
            return builtChecked(scaler, opcode::dolly::kKeyposeMoveBySpeed,
                                {byteField(move.first), byteField(move.second),
                                 bySpeed(speed * kDollySpeedScale), ramp, loop});
        case DeviceFamily::none:
            break;
    }
    return BuildError::invalidSetup;
}

BuiltMessage dynamicMoveMessage(DeviceModel primary, std::size_t deviceCount, DynamicMove move) {
    if (deviceCount >= 2 || familyOf(primary) != DeviceFamily::head) {
        return BuildError::invalidSetup;
    }
    FieldScaler scaler;
    const auto fullScale32 = [&](std::string_view member, float value) {
        return field32(scaler.fit(member, value * units::kFullScale, kSigned32));
    };
    // In the order the arguments are read, so that the first one out of range is named.
    const Field pan = fullScale32("headPan", move.headPan);
    const Field tilt = fullScale32("headTilt", move.headTilt);
    const Field acceleration = fullScale32("acceleration", move.acceleration);
    const Field last =
        move.byDuration
            ? field32(
                  scaler.fit("duration", move.speedOrDuration * units::kTimeScale, kNonNegative32))
            : field32(scaler.fit("speed", move.speedOrDuration * kDynamicSpeedScale, kSigned32));
    return builtChecked(
        scaler,
        move.byDuration ? opcode::head::kDynamicMoveByDuration : opcode::head::kDynamicMoveBySpeed,
        {pan, tilt, acceleration, last});
}

}  // namespace kinetra::bundle
