// The devices' fixed-point units, shared by the message builders and decoders. Pure; used on
// each bundle's command thread and its link's reader thread.
#pragma once

#include <cstdint>

#include "bundle/device_message.hpp"

namespace kinetra::bundle::units {

/// Thousandths: positions, degrees, seconds.
inline constexpr double kPositionScale = 1000.0;
inline constexpr double kTimeScale = 1000.0;
/// Full scale of speeds, accelerations and stick deflections.
inline constexpr double kFullScale = 32000.0;
/// Lens encoder steps per focus unit.
inline constexpr double kLensStepsPerFocusUnit = 1.6146;
inline constexpr float kLensStepsPerFocusUnitFloat = 1.6146f;

inline std::int32_t position(float value) {
    return scaled(value, kPositionScale);
}
inline std::int32_t seconds(float value) {
    return scaled(value, kTimeScale);
}
inline std::int32_t fullScale(float value) {
    return scaled(value, kFullScale);
}
inline std::int32_t lensSteps(float focus) {
    return truncateToInt32(static_cast<double>(focus) * kLensStepsPerFocusUnit);
}

}  // namespace kinetra::bundle::units
