// One builder per bundle command and device family: the device messages of the command table.
// Pure functions; called on each bundle's command thread.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "bundle/device_message.hpp"
#include "bundle/device_opcodes.hpp"
#include "bundle/field_ranges.hpp"
#include "core/bytes.hpp"
#include "model/axis_values.hpp"
#include "model/device_model.hpp"

namespace kinetra::bundle {

using model::AxisValues;
using model::DeviceModel;

/// Why a builder made no message: the primary device's family has none for the command (the
/// reply "invalid setup"), or the message would not fit its length byte. A value that does not
/// fit its field is an OutOfRange naming the request member.
enum class BuildError : std::uint8_t { invalidSetup, messageTooLong };
using BuiltMessage = std::variant<core::Bytes, BuildError, OutOfRange>;
using BuiltMessages = std::variant<std::vector<core::Bytes>, BuildError, OutOfRange>;

/// A built message, or messageTooLong when the builder refused it.
BuiltMessage builtOrTooLong(std::optional<core::Bytes> message);
/// The message for `opcode` and `fields`, unless `scaler` met a value that does not fit its
/// field: then nothing is built and the member is named.
BuiltMessage builtChecked(const FieldScaler& scaler, std::uint8_t opcode,
                          std::initializer_list<Field> fields);

BuiltMessage keyposeStoreCurrentPoseMessage(DeviceModel primary, std::uint8_t index,
                                            std::uint32_t identifier);
BuiltMessage keyposeDeletePoseMessage(DeviceModel primary, std::uint8_t index);
BuiltMessage keyposeReadRequestMessage(DeviceModel primary, std::uint8_t index);
/// The message identifier of the answer to a key-pose read, per family.
std::optional<std::uint8_t> keyposeReadAnswerId(DeviceModel primary);
/// Stores a pose from numeric values; the caller has checked them against the supported axes.
BuiltMessage keyposeStoreWithNumericDataMessage(DeviceModel primary, std::uint8_t index,
                                                std::uint32_t identifier, const AxisValues& values);

BuiltMessage motionAbortMessage(DeviceModel primary);
/// Focus by encoder steps; the caller has checked that focus is supported.
BuiltMessage focusManualMoveMessage(DeviceModel primary, float deltaEnc);

BuiltMessage calibrateHeadMessage(DeviceModel primary);
BuiltMessage calibrateRailUnitMessage(DeviceModel primary, bool isOnGround, bool isOnLeftSide);
BuiltMessage calibrateLensMessage(DeviceModel primary);
BuiltMessage calibrateCraneArmMessage(DeviceModel primary, std::int32_t jibLength,
                                      std::int32_t rodLength);

BuiltMessage inclineWarningConfirmMessage(DeviceModel primary);

/// 02 E6 00 E8: the devices answer with a status message.
core::Bytes statusRequestMessage();
core::Bytes numericLimitsRequestMessage();
/// The message identifier of the numeric-limits answer: 26, or 0 for a primary device that
/// does not send one.
std::uint8_t numericLimitsAnswerId(DeviceModel primary);

}  // namespace kinetra::bundle
