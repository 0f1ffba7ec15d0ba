// Key-pose, calibration, focus and request messages of the command table, family by family.
// Runs on each bundle's command thread.
#include "bundle/device_messages.hpp"

#include "bundle/device_message.hpp"
#include "bundle/device_opcodes.hpp"
#include "bundle/device_units.hpp"
#include "model/numeric_limits.hpp"

namespace kinetra::bundle {
namespace {

using model::AxisSlot;
using model::DeviceFamily;
using model::familyOf;

constexpr double kLensSpeedScale = 100.0;

// Key-pose opcodes per family; the crane arm uses the slider's.
struct KeyposeOpcodes {
    std::uint8_t store;
    std::uint8_t remove;
    std::uint8_t read;
    std::uint8_t readAnswerId;
    std::uint8_t abort;
};
constexpr KeyposeOpcodes kHeadKeypose{opcode::head::kKeyposeStore, opcode::head::kKeyposeDelete,
                                      opcode::head::kKeyposeRead, opcode::head::kKeyposeReadAnswer,
                                      opcode::head::kMotionAbort};
constexpr KeyposeOpcodes kSliderKeypose{
    opcode::slider::kKeyposeStore, opcode::slider::kKeyposeDelete, opcode::slider::kKeyposeRead,
    opcode::slider::kKeyposeReadAnswer, opcode::slider::kMotionAbort};
constexpr KeyposeOpcodes kDollyKeypose{
    opcode::dolly::kKeyposeStore, opcode::dolly::kKeyposeDelete, opcode::dolly::kKeyposeRead,
    opcode::dolly::kKeyposeReadAnswer, opcode::dolly::kMotionAbort};
constexpr KeyposeOpcodes kLensKeypose{opcode::lens::kKeyposeStore, opcode::lens::kKeyposeDelete,
                                      opcode::lens::kKeyposeRead, opcode::lens::kKeyposeReadAnswer,
                                      opcode::lens::kMotionAbort};

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
float craneLength(std::int32_t length, double factor, double offset) {
    const double product = static_cast<double>(static_cast<float>(length)) * factor;
    const float sum = static_cast<float>(product + offset);
    return sum;
}

// The request key of an axis value, as a refusal names it.
std::string_view memberOf(AxisSlot slot) {
    return model::requestKeyOf(slot).value_or("axis");
}

}  // namespace

BuiltMessage builtOrTooLong(std::optional<core::Bytes> message) {
    if (!message) {
        return BuildError::messageTooLong;
    }
    return std::move(*message);
}

BuiltMessage builtChecked(const FieldScaler& scaler, std::uint8_t opcode,
                          std::initializer_list<Field> fields) {
    if (scaler.failure()) {
        return *scaler.failure();
    }
    return builtOrTooLong(buildDeviceMessage(opcode, fields));
}

BuiltMessage keyposeStoreCurrentPoseMessage(DeviceModel primary, std::uint8_t index,
                                            std::uint32_t identifier) {
    const auto opcodes = keyposeOpcodes(primary);
    if (!opcodes) {
        return BuildError::invalidSetup;
    }
    return builtOrTooLong(buildDeviceMessage(
        opcodes->store, {byteField(index), field32(static_cast<std::int32_t>(identifier))}));
}

BuiltMessage keyposeDeletePoseMessage(DeviceModel primary, std::uint8_t index) {
    const auto opcodes = keyposeOpcodes(primary);
    if (!opcodes) {
        return BuildError::invalidSetup;
    }
    return builtOrTooLong(buildDeviceMessage(opcodes->remove, {byteField(index)}));
}

BuiltMessage keyposeReadRequestMessage(DeviceModel primary, std::uint8_t index) {
    const auto opcodes = keyposeOpcodes(primary);
    if (!opcodes) {
        return BuildError::invalidSetup;
    }
    return builtOrTooLong(buildDeviceMessage(opcodes->read, {byteField(index)}));
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
    FieldScaler scaler;
    // Positions in thousandths; the head's lens port takes focus in plain encoder steps, the
    // lens drive in its own steps per focus unit.
    const auto at = [&](AxisSlot slot, double factor = units::kPositionScale, double sign = 1.0) {
        return field32(scaler.fit(
            memberOf(slot), sign * static_cast<double>(values.valueOr0(slot)) * factor, kSigned32));
    };
    switch (familyOf(primary)) {
        case DeviceFamily::head:
            return builtChecked(scaler, opcode::head::kKeyposeStoreNumeric,
                                {byteField(index), at(AxisSlot::headPan), at(AxisSlot::headTilt),
                                 at(AxisSlot::focus, 1.0), at(AxisSlot::slide), id,
                                 at(AxisSlot::jibPan), at(AxisSlot::jibTilt)});
        case DeviceFamily::slider:
            return builtChecked(scaler, opcode::slider::kKeyposeStoreNumeric,
                                {byteField(index), id, at(AxisSlot::slide)});
        case DeviceFamily::dolly:
            return builtChecked(scaler, opcode::dolly::kKeyposeStoreNumeric,
                                {byteField(index), id, at(AxisSlot::slide)});
        case DeviceFamily::craneArm:
            // The arm counts its travel and tilt the other way round.
            if (values.has(AxisSlot::slide)) {
                return builtChecked(
                    scaler, opcode::slider::kKeyposeStoreNumeric,
                    {byteField(index), id, at(AxisSlot::slide, units::kPositionScale, -1.0)});
            }
            if (values.has(AxisSlot::jibPan)) {
                return builtChecked(scaler, opcode::craneArm::kKeyposeStoreNumericJib,
                                    {byteField(index), id, at(AxisSlot::jibPan),
                                     at(AxisSlot::jibTilt, units::kPositionScale, -1.0)});
            }
            return BuildError::invalidSetup;
        case DeviceFamily::lens:
            return builtChecked(
                scaler, opcode::lens::kKeyposeStoreNumeric,
                {byteField(index), id, at(AxisSlot::focus, units::kLensStepsPerFocusUnit)});
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
    return builtOrTooLong(buildDeviceMessage(opcodes->abort, {}));
}

BuiltMessage focusManualMoveMessage(DeviceModel primary, float deltaEnc) {
    FieldScaler scaler;
    const double steps = deltaEnc;
    if (model::isFocusCapableHead(primary)) {
        return builtChecked(scaler, opcode::head::kFocusManualMove,
                            {field32(scaler.fit("deltaEnc", steps, kSigned32))});
    }
    if (primary == DeviceModel::lensDriveMax) {
        return builtChecked(scaler, opcode::lens::kFocusManualMove,
                            {field32(scaler.fit("deltaEnc", steps * kLensSpeedScale, kSigned32))});
    }
    return BuildError::invalidSetup;
}

BuiltMessage calibrateHeadMessage(DeviceModel primary) {
    if (familyOf(primary) == DeviceFamily::head) {
        return builtOrTooLong(buildDeviceMessage(opcode::head::kCalibrate, {}));
    }
    return BuildError::invalidSetup;
}

BuiltMessage calibrateRailUnitMessage(DeviceModel primary, bool isOnGround, bool isOnLeftSide) {
    const Field mode = byteField(railCalibrationMode(isOnGround, isOnLeftSide));
    if (familyOf(primary) == DeviceFamily::head) {
        return builtOrTooLong(buildDeviceMessage(opcode::head::kCalibrateRail, {mode}));
    }
    if (model::isRailUnit(primary)) {
        return builtOrTooLong(buildDeviceMessage(opcode::railUnit::kCalibrate, {mode}));
    }
    return BuildError::invalidSetup;
}

BuiltMessage calibrateLensMessage(DeviceModel primary) {
    if (model::isFocusCapableHead(primary)) {
        return builtOrTooLong(buildDeviceMessage(opcode::head::kCalibrateLens, {}));
    }
    if (primary == DeviceModel::lensDriveMax) {
        return builtOrTooLong(buildDeviceMessage(opcode::lens::kCalibrate, {}));
    }
    return BuildError::invalidSetup;
}

BuiltMessage calibrateCraneArmMessage(DeviceModel primary, std::int32_t jibLength,
                                      std::int32_t rodLength) {
    const double jib = craneLength(jibLength, 10.0, 74.0);
    const double rod = craneLength(rodLength, 9.0, 70.5);
    FieldScaler scaler;
    if (familyOf(primary) == DeviceFamily::head) {
        // Lengths: the head takes them in 16 bits.
        return builtChecked(scaler, opcode::head::kCalibrateCraneArm,
                            {field16(scaler.fit("jibLength", jib, kUnsigned16)),
                             field16(scaler.fit("rodLength", rod, kUnsigned16))});
    }
    if (primary == DeviceModel::craneArm) {
        return builtChecked(scaler, opcode::craneArm::kCalibrate,
                            {field32(scaler.fit("jibLength", jib, kNonNegative32)),
                             field32(scaler.fit("rodLength", rod, kNonNegative32))});
    }
    return BuildError::invalidSetup;
}

BuiltMessage inclineWarningConfirmMessage(DeviceModel primary) {
    if (familyOf(primary) == DeviceFamily::head) {
        return builtOrTooLong(buildDeviceMessage(opcode::head::kInclineWarningConfirm, {}));
    }
    if (model::isRailUnit(primary)) {
        return builtOrTooLong(buildDeviceMessage(opcode::railUnit::kInclineWarningConfirm, {}));
    }
    return BuildError::invalidSetup;
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
