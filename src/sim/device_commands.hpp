// Device messages as the emulated devices read them: the length byte and the sum checked, then
// the opcode and parameters looked up for the family of the bundle's primary device (families
// reuse opcodes with other layouts). Pure; runs on the emulator's thread.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <variant>

#include "core/bytes.hpp"
#include "model/axis_slot.hpp"
#include "model/device_model.hpp"

namespace kinetra::sim {

// Device units: angles and slide positions in thousandths, focus in lens encoder steps, times in
// milliseconds; stick deflections and speeds as fractions of full scale unless noted.

/// A value per axis slot, given or not.
using AxisTargets = std::array<std::optional<double>, model::kAxisSlotCount>;

namespace cmd {

struct StatusRequest {};
struct LimitsRequest {};
/// Reach `targets` in `durationMs`, along a straight line.
struct RealTimeMove {
    std::int32_t durationMs = 0;
    AxisTargets targets;
};
/// Stick deflections in -1..1 for the axes the message carries.
struct Joystick {
    AxisTargets deflections;
};
/// Store the current position (no values) or the given values under `index`.
struct KeyposeStore {
    std::uint8_t index = 0;
    std::uint32_t identifier = 0;
    AxisTargets values;
};
struct KeyposeDelete {
    std::uint8_t index = 0;
};
struct KeyposeRead {
    std::uint8_t index = 0;
};
/// Move to pose `second` (from the current position when `first` is 0xFF) or loop between
/// `first` and `second`, by speed (a fraction of each axis's top speed) or by duration.
struct KeyposeMove {
    std::uint8_t first = 0xFF;
    std::uint8_t second = 0;
    bool loop = false;
    double speed = -1.0;           // used when durationMs is not above 0
    std::int32_t durationMs = -1;  // above 0: the move takes this long
    double acceleration = 0.0;
};
/// Turn the head by `pan` and `tilt` (thousandths of a degree) at `speed` degrees a second or
/// within `durationMs`.
struct DynamicMove {
    double pan = 0.0;
    double tilt = 0.0;
    double speed = -1.0;
    std::int32_t durationMs = -1;
    double acceleration = 0.0;
};
/// Turn the focus ring by `steps` encoder steps.
struct FocusMove {
    double steps = 0.0;
};
enum class Calibration : std::uint8_t { head, railUnit, lens, craneArm };
struct Calibrate {
    Calibration what = Calibration::head;
    std::uint8_t mode = 0;       // rail unit: 2 on ground and left, 3 on ground, 1 neither, 0 left
    std::int32_t jibLength = 0;  // crane arm, as sent: jib length x 10 + 74
    std::int32_t rodLength = 0;
};
struct InclineConfirm {};
struct Abort {};

}  // namespace cmd

using DeviceCommand =
    std::variant<cmd::StatusRequest, cmd::LimitsRequest, cmd::RealTimeMove, cmd::Joystick,
                 cmd::KeyposeStore, cmd::KeyposeDelete, cmd::KeyposeRead, cmd::KeyposeMove,
                 cmd::DynamicMove, cmd::FocusMove, cmd::Calibrate, cmd::InclineConfirm, cmd::Abort>;

enum class MessageCheck : std::uint8_t {
    ok,
    tooShort,        ///< fewer than 4 bytes, or a length byte below 2
    lengthMismatch,  ///< not exactly length byte + 2 bytes
    badChecksum,
    unknownOpcode,  ///< no command of the family has this opcode and length
};

/// Whether `message` is one whole device message with a good sum (opcode not looked at).
MessageCheck checkDeviceMessage(core::ByteView message);

struct ReadMessage {
    MessageCheck check = MessageCheck::tooShort;
    std::uint8_t opcode = 0;  ///< byte 1 when the message has one
    std::optional<DeviceCommand> command;
};

/// Reads one device message for a bundle whose primary device is `primary`: its family chooses
/// the opcode table, and only rail units take their own calibration and incline messages.
ReadMessage readDeviceMessage(core::ByteView message, model::DeviceModel primary);

/// The size of the device message at the start of `bytes` when a whole one is there, with a
/// good sum and a command the family knows; used to find messages written without a frame.
std::optional<std::size_t> wholeDeviceMessageAt(core::ByteView bytes, model::DeviceModel primary);

/// The length byte + 2 the message at the start of `bytes` announces, or nothing when the
/// first byte cannot start a device message.
std::optional<std::size_t> announcedDeviceMessageSize(core::ByteView bytes);

}  // namespace kinetra::sim
