// Status message decoding; runs on the link's reader thread.
#include "bundle/status_decoder.hpp"

#include <algorithm>

#include "bundle/device_units.hpp"
#include "model/axis_slot.hpp"

namespace kinetra::bundle {
namespace {

constexpr float kThousandths = 1000.0f;
constexpr float kBatteryHundredths = 100.0f;
constexpr float kProgressFullScale = 32000.0f;

float thousandths(core::ByteView message, std::size_t offset) {
    return static_cast<float>(core::readI32BE(message, offset)) / kThousandths;
}

}  // namespace

std::optional<DeviceStatusSnapshot> decodeStatus(core::ByteView message) {
    namespace L = status_layout;
    if (message.size() < L::kMessageSize) {
        return std::nullopt;
    }
    DeviceStatusSnapshot s;
    s.slide = thousandths(message, L::kSlide);
    s.focus = core::readI32BE(message, L::kFocus);
    s.headPan = thousandths(message, L::kHeadPan);
    s.headTilt = thousandths(message, L::kHeadTilt);
    s.jibPan = thousandths(message, L::kJibPan);
    s.jibTilt = thousandths(message, L::kJibTilt);
    s.keyposeMotionAimIndex = static_cast<std::int8_t>(message[L::kKeyposeAimIndex]);
    s.keyposeMotionStartIndex = static_cast<std::int8_t>(message[L::kKeyposeStartIndex]);
    s.keyposeLoopActive = message[L::kKeyposeLoopActive] != 0;
    for (std::size_t slot = 0; slot < L::kKeyposeSlots; ++slot) {
        s.keyposeSlotsFilled[slot] = ((message[L::kKeyposeSlotsFilled] >> slot) & 1u) != 0;
    }
    s.activity = message[L::kActivity];
    s.deviceInfoEverythingReady = message[L::kDeviceInfoComplete] != 0;
    s.deviceCount = std::min<std::uint8_t>(message[L::kDeviceCount], L::kMaxDevices);
    for (std::size_t i = 0; i < L::kMaxDevices; ++i) {
        const std::size_t record = L::kDeviceRecords + i * L::kDeviceRecordSize;
        DeviceEntry& device = s.devices[i];
        device.model = model::deviceModelFromCode(message[record + L::kRecordModel]);
        device.firmwareVersion = core::readU16BE(message, record + L::kRecordFirmware);
        device.secondVersion = core::readU16BE(message, record + L::kRecordSecondVersion);
        device.batteryLevel =
            static_cast<float>(message[record + L::kRecordBattery]) / kBatteryHundredths;
    }
    s.supportedAxes = message[L::kSupportedAxes] & model::kAxisSetMask;
    s.realTimeSupportedAxes = message[L::kRealTimeSupportedAxes] & model::kAxisSetMask;
    s.calibratedAxes = message[L::kCalibratedAxes] & model::kAxisSetMask;
    s.linkState = message[L::kLinkState];
    s.timestampDevice = core::readU32BE(message, L::kTimestampDevice);
    s.plannedMotionDuration = thousandths(message, L::kPlannedMotionDuration);
    s.plannedMotionProgress =
        static_cast<float>(core::readI16BE(message, L::kPlannedMotionProgress)) /
        kProgressFullScale;
    s.reserved = message[L::kReserved];
    const std::uint8_t parkAndIncline = message[L::kParkAndIncline];
    s.parkMode = static_cast<std::uint8_t>(parkAndIncline >> 4);
    s.inclineMode = static_cast<std::uint8_t>((parkAndIncline >> 1) & 0x07);
    s.inclineWarningFlag = static_cast<std::uint8_t>(parkAndIncline & 0x01);
    s.keyposeSlotLayout = static_cast<std::uint8_t>(message[L::kKeyposeSlotLayout] & 0x0F);

    // A lens drive reports raw encoder steps; the status gives focus units like the heads do.
    if (s.devices[0].model == model::DeviceModel::lensDriveMax) {
        const float units = static_cast<float>(s.focus) / units::kLensStepsPerFocusUnitFloat;
        s.focus = static_cast<std::int32_t>(units);
    }
    return s;
}

}  // namespace kinetra::bundle
