// The axis limits of a bundle, derived from the devices' numeric-limits answer, and their JSON
// form. Pure functions; called on each bundle's command thread.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "core/bytes.hpp"
#include "core/json.hpp"
#include "model/axis_slot.hpp"
#include "model/setup_kind.hpp"

namespace kinetra::model {

/// Layout of the numeric-limits answer, from its message identifier at offset 0.
namespace limits_answer {
inline constexpr std::uint8_t kMessageId = 26;
inline constexpr std::size_t kSetupOffset = 1;
inline constexpr std::size_t kFlagsOffset = 2;
inline constexpr std::size_t kArmLengthOffset = 3;  // signed 16-bit
inline constexpr std::size_t kDeviceCountOffset = 5;
inline constexpr std::size_t kModelsOffset = 6;  // one model code per device
inline constexpr std::uint8_t kFlagDataReady = 0x01;
inline constexpr std::uint8_t kFlagLensPresent = 0x02;
inline constexpr std::uint8_t kFlagRailCalibrated = 0x04;
inline constexpr std::uint8_t kFlagRailFineStep = 0x08;
}  // namespace limits_answer

struct AxisLimits {
    /// The setup drives this axis.
    bool present = false;
    /// A device of the list gave the values below; a present axis that no device matched has
    /// no values and is left out of the JSON.
    bool known = false;
    float max = 0.0f;
    float min = 0.0f;
    float step = 0.0f;
};

struct NumericLimits {
    bool dataReady = false;
    SetupKind setup = SetupKind::none;
    /// Indexed by axis slot; zoom is never present.
    std::array<AxisLimits, kAxisSlotCount> axes{};

    const AxisLimits& operator[](AxisSlot slot) const {
        return axes[static_cast<std::size_t>(slot)];
    }
    AxisLimits& operator[](AxisSlot slot) { return axes[static_cast<std::size_t>(slot)]; }
};

/// Derives the limits from an answer starting at its message identifier. Nothing when the
/// answer is shorter than its header or than the device list it announces.
std::optional<NumericLimits> deriveNumericLimits(core::ByteView answer);

/// The crane arm's slide limit (both signs) for an arm length as the device reports it.
float craneArmSlideLimit(std::int16_t armLength);

/// {"isDataReady":false} when the data is not ready; otherwise the known axes' "...Step",
/// "...MinLimit" and "...MaxLimit" members (jib tilt without its step), or null when none.
json toJson(const NumericLimits& limits);

}  // namespace kinetra::model
