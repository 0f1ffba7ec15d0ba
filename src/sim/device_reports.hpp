// What the emulated devices send up: the 79-byte status message, the key-pose read answers and
// the numeric-limits answer, each starting at its message identifier. Pure; runs on the
// emulator's thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/bytes.hpp"
#include "model/axis_slot.hpp"
#include "model/device_model.hpp"
#include "model/setup_kind.hpp"
#include "model/status_enums.hpp"

namespace kinetra::sim {

/// Offsets of the status message from its identifier 0x18; multi-byte fields big-endian.
namespace status_offsets {
inline constexpr std::uint8_t kIdentifier = 0x18;
inline constexpr std::size_t kSlide = 1;  // positions: signed 32, device units
inline constexpr std::size_t kFocus = 5;
inline constexpr std::size_t kHeadPan = 9;
inline constexpr std::size_t kHeadTilt = 13;
inline constexpr std::size_t kJibPan = 17;
inline constexpr std::size_t kJibTilt = 21;
inline constexpr std::size_t kAimIndex = 25;
inline constexpr std::size_t kStartIndex = 26;
inline constexpr std::size_t kLoopActive = 27;
inline constexpr std::size_t kSlotsFilled = 28;
inline constexpr std::size_t kActivity = 29;
inline constexpr std::size_t kDeviceInfoComplete = 30;
inline constexpr std::size_t kDeviceCount = 31;
inline constexpr std::size_t kRecords = 32;  // five records: model, firmware, second, battery
inline constexpr std::size_t kRecordSize = 6;
inline constexpr std::size_t kMaxRecords = 5;
inline constexpr std::size_t kSupportedAxes = 62;
inline constexpr std::size_t kRealTimeAxes = 63;
inline constexpr std::size_t kCalibratedAxes = 64;
inline constexpr std::size_t kAcknowledge = 65;
inline constexpr std::size_t kTimestamp = 66;        // unsigned 32, milliseconds
inline constexpr std::size_t kPlannedDuration = 70;  // signed 32, milliseconds
inline constexpr std::size_t kProgress = 74;         // signed 16, 1/32000
inline constexpr std::size_t kReserved = 76;
inline constexpr std::size_t kParkIncline = 77;  // park 7..4, incline 3..1, warning 0
inline constexpr std::size_t kSlotLayout = 78;
inline constexpr std::size_t kSize = 79;

static_assert(kRecords + kMaxRecords * kRecordSize == kSupportedAxes);
static_assert(kSlotLayout + 1 == kSize);
}  // namespace status_offsets

/// One device as its status record reports it.
struct DeviceRecord {
    model::DeviceModel model = model::DeviceModel::none;
    std::uint16_t firmwareVersion = 0;
    std::uint16_t secondVersion = 0;
    std::uint8_t batteryPercent = 0;
};

/// Positions per axis slot in device units (thousandths; focus in encoder steps).
using Positions = std::array<std::int32_t, model::kAxisSlotCount>;

/// Everything a status message carries.
struct StatusReport {
    Positions positions{};
    std::int8_t aimIndex = -1;
    std::int8_t startIndex = -1;
    bool loopActive = false;
    std::uint8_t slotsFilled = 0;  // bit k for slot k
    model::BundleActivity activity = model::BundleActivity::idle;
    bool deviceInfoComplete = true;
    std::vector<DeviceRecord> devices;  // only the first five are sent
    std::uint8_t supportedAxes = 0;
    std::uint8_t realTimeAxes = 0;
    std::uint8_t calibratedAxes = 0;
    std::uint8_t acknowledge = 0;
    std::uint32_t timestamp = 0;
    std::int32_t plannedDurationMs = 0;
    std::int16_t progress = 0;  // 32000 is the whole move
    model::ParkMode park = model::ParkMode::idle;
    model::InclineMode incline = model::InclineMode::invalid;
    bool inclineWarning = false;
    std::uint8_t slotLayout = 6;
};

/// The 79-byte status message of `report`.
core::Bytes encodeStatus(const StatusReport& report);

/// The identifier of a family's key-pose read answer (18 head, 9 slider and crane arm, 6 dolly,
/// 5 lens); 0 for a family without key poses.
std::uint8_t keyposeAnswerId(model::DeviceFamily family);

/// The answer to a key-pose read: identifier, the index (signed; -1 for an empty slot) and the
/// family's values from `pose`.
core::Bytes keyposeAnswer(model::DeviceFamily family, std::int8_t index, const Positions& pose);

/// The numeric-limits answer: identifier 26, setup, flags, arm length and the device models.
core::Bytes limitsAnswer(model::SetupKind setup, std::uint8_t flags, std::int16_t armLength,
                         std::span<const model::DeviceModel> devices);

}  // namespace kinetra::sim
