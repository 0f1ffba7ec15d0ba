// The opcode (byte 1) of every device message the server sends, one table per device family,
// one constant per line of the opcode tables in docs/device-protocol.md and in the same order.
// Pure data, read on each bundle's command thread.
#pragma once

#include <cstdint>

namespace kinetra::bundle::opcode {

// --- Every device ------------------------------------------------------------------------------

inline constexpr std::uint8_t kStatusRequest = 0xE6;         // answered by a status message
inline constexpr std::uint8_t kNumericLimitsRequest = 0xB3;  // answered by message 26
inline constexpr std::uint8_t kRealTimeMove = 0x8A;          // axis blocks, each with a slot

// --- Pan/tilt head -----------------------------------------------------------------------------

namespace head {
inline constexpr std::uint8_t kCalibrate = 0x04;
inline constexpr std::uint8_t kKeyposeStore = 0x05;  // from the current position
inline constexpr std::uint8_t kKeyposeDelete = 0x06;
inline constexpr std::uint8_t kKeyposeMove = 0x07;
inline constexpr std::uint8_t kMotionAbort = 0x09;
inline constexpr std::uint8_t kJoystickPanTilt = 0x0A;
inline constexpr std::uint8_t kJoystickSlide = 0x0B;  // a rail carried by the head
inline constexpr std::uint8_t kFocusManualMove = 0x0C;
inline constexpr std::uint8_t kCalibrateRail = 0x28;
inline constexpr std::uint8_t kKeyposeRead = 0x53;
inline constexpr std::uint8_t kCalibrateLens = 0x71;
inline constexpr std::uint8_t kInclineWarningConfirm = 0x81;
inline constexpr std::uint8_t kJoystickJib = 0x83;
inline constexpr std::uint8_t kKeyposeStoreNumeric = 0x8C;
inline constexpr std::uint8_t kCalibrateCraneArm = 0x8D;
inline constexpr std::uint8_t kDynamicMoveBySpeed = 0xBB;
inline constexpr std::uint8_t kDynamicMoveByDuration = 0xBC;
inline constexpr std::uint8_t kKeyposeReadAnswer = 18;
}  // namespace head

// --- Slider (the crane arm uses these for its travel and its key poses) -------------------------

namespace slider {
inline constexpr std::uint8_t kKeyposeStore = 0x07;
inline constexpr std::uint8_t kKeyposeMoveBySpeed = 0x0B;
inline constexpr std::uint8_t kMotionAbort = 0x0C;
inline constexpr std::uint8_t kJoystick = 0x0D;
inline constexpr std::uint8_t kKeyposeDelete = 0x1D;
inline constexpr std::uint8_t kKeyposeMoveByDuration = 0x1E;
inline constexpr std::uint8_t kKeyposeStoreNumeric = 0x2C;
inline constexpr std::uint8_t kKeyposeRead = 0x2D;
inline constexpr std::uint8_t kKeyposeReadAnswer = 9;
}  // namespace slider

// --- Rail unit ---------------------------------------------------------------------------------

namespace railUnit {
inline constexpr std::uint8_t kCalibrate = 0x10;
inline constexpr std::uint8_t kInclineWarningConfirm = 0x32;
}  // namespace railUnit

// --- Crane arm ---------------------------------------------------------------------------------

namespace craneArm {
inline constexpr std::uint8_t kKeyposeStoreNumericJib = 0x3E;
inline constexpr std::uint8_t kJoystickJib = 0x42;
inline constexpr std::uint8_t kCalibrate = 0x45;
}  // namespace craneArm

// --- Dolly -------------------------------------------------------------------------------------

namespace dolly {
inline constexpr std::uint8_t kMotionAbort = 0x02;
inline constexpr std::uint8_t kJoystick = 0x0B;
inline constexpr std::uint8_t kKeyposeStore = 0x0D;
inline constexpr std::uint8_t kKeyposeDelete = 0x0E;
inline constexpr std::uint8_t kKeyposeMoveByDuration = 0x10;
inline constexpr std::uint8_t kKeyposeMoveBySpeed = 0x16;
inline constexpr std::uint8_t kKeyposeStoreNumeric = 0x29;
inline constexpr std::uint8_t kKeyposeRead = 0x2A;
inline constexpr std::uint8_t kKeyposeReadAnswer = 6;
}  // namespace dolly

// --- Lens drive --------------------------------------------------------------------------------

namespace lens {
inline constexpr std::uint8_t kMotionAbort = 0x04;
inline constexpr std::uint8_t kKeyposeMove = 0x0C;
inline constexpr std::uint8_t kKeyposeStore = 0x0E;
inline constexpr std::uint8_t kKeyposeDelete = 0x0F;
inline constexpr std::uint8_t kCalibrate = 0x10;
inline constexpr std::uint8_t kKeyposeRead = 0x16;
inline constexpr std::uint8_t kFocusManualMove = 0x19;
inline constexpr std::uint8_t kKeyposeStoreNumeric = 0x27;
inline constexpr std::uint8_t kKeyposeReadAnswer = 5;
}  // namespace lens

}  // namespace kinetra::bundle::opcode
