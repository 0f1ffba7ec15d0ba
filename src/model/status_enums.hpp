// The small enumerations a device status reports: what the bundle is doing, the rail unit's
// incline sensor and its park state. Pure data; used where status messages are decoded.
#pragma once

#include <cstdint>

#include "core/enum_table.hpp"

namespace kinetra::model {

/// The "state" of a bundle's status.
enum class BundleActivity : std::uint8_t {
    idle = 0,
    keyposeMove = 1,
    realTimeMove = 2,
    focusCalibration = 3,
    sliderCalibration = 4,
    joystickMove = 5,
    unsupportedActivity = 6,
};

inline constexpr auto kBundleActivityTable = core::makeEnumTable<BundleActivity>({
    {BundleActivity::idle, "idle"},
    {BundleActivity::keyposeMove, "keyposeMove"},
    {BundleActivity::realTimeMove, "realTimeMove"},
    {BundleActivity::focusCalibration, "focusCalibration"},
    {BundleActivity::sliderCalibration, "sliderCalibration"},
    {BundleActivity::joystickMove, "joystickMove"},
    {BundleActivity::unsupportedActivity, "unsupportedActivity"},
});

/// How steeply a rail unit stands, as its incline sensor reports it.
enum class InclineMode : std::uint8_t { invalid = 0, flat = 1, safe = 2, danger = 3 };

inline constexpr auto kInclineModeTable = core::makeEnumTable<InclineMode>({
    {InclineMode::invalid, "invalid"},
    {InclineMode::flat, "flat"},
    {InclineMode::safe, "safe"},
    {InclineMode::danger, "danger"},
});

/// Whether a rail unit is driving to, or resting at, its park position.
enum class ParkMode : std::uint8_t { idle = 0, positioning = 1, parked = 2 };

inline constexpr auto kParkModeTable = core::makeEnumTable<ParkMode>({
    {ParkMode::idle, "idle"},
    {ParkMode::positioning, "positioning"},
    {ParkMode::parked, "parked"},
});

}  // namespace kinetra::model
