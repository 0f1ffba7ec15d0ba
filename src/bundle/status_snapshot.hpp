// The device status message layout and the snapshot it decodes into. The link's reader thread
// writes a snapshot per message; the command thread reads a copy of the latest one.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "model/device_model.hpp"

namespace kinetra::bundle {

/// Offsets of the status message, from its message id byte 0x18 at offset 0; multi-byte fields
/// are big-endian.
namespace status_layout {
inline constexpr std::uint8_t kMessageId = 0x18;
inline constexpr std::size_t kSlide = 1;               // signed 32, thousandths
inline constexpr std::size_t kFocus = 5;               // signed 32, encoder steps
inline constexpr std::size_t kHeadPan = 9;             // signed 32, thousandths of a degree
inline constexpr std::size_t kHeadTilt = 13;           // signed 32, thousandths of a degree
inline constexpr std::size_t kJibPan = 17;             // signed 32, thousandths of a degree
inline constexpr std::size_t kJibTilt = 21;            // signed 32, thousandths of a degree
inline constexpr std::size_t kKeyposeAimIndex = 25;    // signed 8
inline constexpr std::size_t kKeyposeStartIndex = 26;  // signed 8
inline constexpr std::size_t kKeyposeLoopActive = 27;
inline constexpr std::size_t kKeyposeSlotsFilled = 28;  // bits 0..5
inline constexpr std::size_t kActivity = 29;
inline constexpr std::size_t kDeviceInfoComplete = 30;
inline constexpr std::size_t kDeviceCount = 31;
inline constexpr std::size_t kDeviceRecords = 32;
inline constexpr std::size_t kDeviceRecordSize = 6;  // model, firmware (16), second (16), battery
inline constexpr std::size_t kMaxDevices = 5;
inline constexpr std::size_t kRecordModel = 0;
inline constexpr std::size_t kRecordFirmware = 1;
inline constexpr std::size_t kRecordSecondVersion = 3;
inline constexpr std::size_t kRecordBattery = 5;  // hundredths
inline constexpr std::size_t kSupportedAxes = 62;
inline constexpr std::size_t kRealTimeSupportedAxes = 63;
inline constexpr std::size_t kCalibratedAxes = 64;
inline constexpr std::size_t kLinkState = 65;
inline constexpr std::size_t kTimestampDevice = 66;        // unsigned 32
inline constexpr std::size_t kPlannedMotionDuration = 70;  // signed 32, milliseconds
inline constexpr std::size_t kPlannedMotionProgress = 74;  // signed 16, 1/32000
inline constexpr std::size_t kReserved = 76;
inline constexpr std::size_t kParkAndIncline = 77;     // park 7..4, incline 3..1, warning 0
inline constexpr std::size_t kKeyposeSlotLayout = 78;  // low 4 bits
inline constexpr std::size_t kMessageSize = 79;
inline constexpr std::size_t kMaxReceivedSize = 255;
inline constexpr std::size_t kKeyposeSlots = 6;

static_assert(kDeviceRecords + kMaxDevices * kDeviceRecordSize == kSupportedAxes);
static_assert(kKeyposeSlotLayout + 1 == kMessageSize);
}  // namespace status_layout

struct DeviceEntry {
    model::DeviceModel model = model::DeviceModel::railUnit;
    float batteryLevel = 0.0f;
    std::uint16_t firmwareVersion = 0;
    std::uint16_t secondVersion = 0;
};

/// Every field of one status message in native form. Zeroed until the first message arrives.
struct DeviceStatusSnapshot {
    float slide = 0.0f;
    std::int32_t focus = 0;
    float headPan = 0.0f;
    float headTilt = 0.0f;
    float jibPan = 0.0f;
    float jibTilt = 0.0f;
    std::int8_t keyposeMotionAimIndex = 0;
    std::int8_t keyposeMotionStartIndex = 0;
    bool keyposeLoopActive = false;
    std::array<bool, status_layout::kKeyposeSlots> keyposeSlotsFilled{};
    std::uint8_t activity = 0;
    bool deviceInfoEverythingReady = false;
    /// Valid entries of `devices`, at most five.
    std::uint8_t deviceCount = 0;
    std::array<DeviceEntry, status_layout::kMaxDevices> devices{};
    /// Bit k for axis slot k.
    std::uint8_t supportedAxes = 0;
    std::uint8_t realTimeSupportedAxes = 0;
    std::uint8_t calibratedAxes = 0;
    std::uint8_t linkState = 0;
    std::uint32_t timestampDevice = 0;
    float plannedMotionDuration = 0.0f;
    float plannedMotionProgress = 0.0f;
    std::uint8_t reserved = 0;
    std::uint8_t parkMode = 0;
    std::uint8_t inclineMode = 0;
    std::uint8_t inclineWarningFlag = 0;
    std::uint8_t keyposeSlotLayout = 0;

    std::span<const DeviceEntry> validDevices() const {
        return std::span<const DeviceEntry>(devices).first(deviceCount);
    }
    /// How many key-pose slots the bundle has (the layout code is the count: 3 or 6); nothing
    /// while the status has not said.
    std::optional<std::size_t> keyposeSlotCount() const {
        if (keyposeSlotLayout == 3 || keyposeSlotLayout == 6) {
            return keyposeSlotLayout;
        }
        return std::nullopt;
    }
    /// The device that commands address and whose family selects their messages; "none" when
    /// the status lists no device.
    model::DeviceModel primaryModel() const {
        return deviceCount > 0 ? devices[0].model : model::DeviceModel::none;
    }
};

}  // namespace kinetra::bundle
