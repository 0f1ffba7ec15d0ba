// Encoders of the messages the emulated devices send up. Runs on the emulator's thread.
#include "sim/device_reports.hpp"

#include <algorithm>

#include "model/numeric_limits.hpp"

namespace kinetra::sim {
namespace {

using model::AxisSlot;
using model::DeviceFamily;
namespace at = status_offsets;

constexpr unsigned kParkShift = 4;
constexpr unsigned kInclineShift = 1;

void putI32(core::Bytes& out, std::size_t offset, std::int32_t value) {
    const auto bits = static_cast<std::uint32_t>(value);
    for (std::size_t i = 0; i < 4; ++i) {
        out[offset + i] = static_cast<std::uint8_t>(bits >> (24 - 8 * i));
    }
}

void putU16(core::Bytes& out, std::size_t offset, std::uint16_t value) {
    out[offset] = static_cast<std::uint8_t>(value >> 8);
    out[offset + 1] = static_cast<std::uint8_t>(value & 0xFF);
}

std::int32_t positionOf(const Positions& positions, AxisSlot axis) {
    return positions[static_cast<std::size_t>(axis)];
}

// Key-pose answers per family, offsets from the identifier: index at 1, then 32-bit values.
constexpr std::size_t kIndexOffset = 1;
constexpr std::size_t kHeadAnswerSize =
    30;  // pan 2, tilt 6, zoom 10, slide 14, jib 18 22, focus 26
constexpr std::size_t kSliderAnswerSize = 14;  // slide 2, jib pan 6, jib tilt 10 (crane arm)
constexpr std::size_t kDollyAnswerSize = 6;    // slide 2
constexpr std::size_t kLensAnswerSize = 10;    // zoom 2, focus 6

}  // namespace

core::Bytes encodeStatus(const StatusReport& report) {
    core::Bytes out(at::kSize, 0);
    out[0] = at::kIdentifier;
    putI32(out, at::kSlide, positionOf(report.positions, AxisSlot::slide));
    putI32(out, at::kFocus, positionOf(report.positions, AxisSlot::focus));
    putI32(out, at::kHeadPan, positionOf(report.positions, AxisSlot::headPan));
    putI32(out, at::kHeadTilt, positionOf(report.positions, AxisSlot::headTilt));
    putI32(out, at::kJibPan, positionOf(report.positions, AxisSlot::jibPan));
    putI32(out, at::kJibTilt, positionOf(report.positions, AxisSlot::jibTilt));
    out[at::kAimIndex] = static_cast<std::uint8_t>(report.aimIndex);
    out[at::kStartIndex] = static_cast<std::uint8_t>(report.startIndex);
    out[at::kLoopActive] = report.loopActive ? 1 : 0;
    out[at::kSlotsFilled] = report.slotsFilled;
    out[at::kActivity] = static_cast<std::uint8_t>(report.activity);
    out[at::kDeviceInfoComplete] = report.deviceInfoComplete ? 1 : 0;
    const auto count = std::min(report.devices.size(), at::kMaxRecords);
    out[at::kDeviceCount] = static_cast<std::uint8_t>(count);
    for (std::size_t i = 0; i < count; ++i) {
        const auto& device = report.devices[i];
        const auto record = at::kRecords + i * at::kRecordSize;
        out[record] = static_cast<std::uint8_t>(model::codeOf(device.model));
        putU16(out, record + 1, device.firmwareVersion);
        putU16(out, record + 3, device.secondVersion);
        out[record + 5] = device.batteryPercent;
    }
    out[at::kSupportedAxes] = report.supportedAxes;
    out[at::kRealTimeAxes] = report.realTimeAxes;
    out[at::kCalibratedAxes] = report.calibratedAxes;
    out[at::kAcknowledge] = report.acknowledge;
    putI32(out, at::kTimestamp, static_cast<std::int32_t>(report.timestamp));
    putI32(out, at::kPlannedDuration, report.plannedDurationMs);
    putU16(out, at::kProgress, static_cast<std::uint16_t>(report.progress));
    out[at::kParkIncline] = static_cast<std::uint8_t>(
        (static_cast<unsigned>(report.park) << kParkShift) |
        ((static_cast<unsigned>(report.incline) & 0x07) << kInclineShift) |
        (report.inclineWarning ? 1u : 0u));
    out[at::kSlotLayout] = report.slotLayout & 0x0F;
    return out;
}

std::uint8_t keyposeAnswerId(DeviceFamily family) {
    switch (family) {
        case DeviceFamily::head:
            return 18;
        case DeviceFamily::slider:
        case DeviceFamily::craneArm:
            return 9;
        case DeviceFamily::dolly:
            return 6;
        case DeviceFamily::lens:
            return 5;
        case DeviceFamily::none:
            break;
    }
    return 0;
}

core::Bytes keyposeAnswer(DeviceFamily family, std::int8_t index, const Positions& pose) {
    const auto value = [&](AxisSlot axis) { return positionOf(pose, axis); };
    core::Bytes out;
    switch (family) {
        case DeviceFamily::head:
            out.assign(kHeadAnswerSize, 0);
            putI32(out, 2, value(AxisSlot::headPan));
            putI32(out, 6, value(AxisSlot::headTilt));
            putI32(out, 10, value(AxisSlot::zoom));
            putI32(out, 14, value(AxisSlot::slide));
            putI32(out, 18, value(AxisSlot::jibPan));
            putI32(out, 22, value(AxisSlot::jibTilt));
            putI32(out, 26, value(AxisSlot::focus));
            break;
        case DeviceFamily::slider:
        case DeviceFamily::craneArm:
            out.assign(kSliderAnswerSize, 0);
            putI32(out, 2, value(AxisSlot::slide));
            putI32(out, 6, value(AxisSlot::jibPan));
            putI32(out, 10, value(AxisSlot::jibTilt));
            break;
        case DeviceFamily::dolly:
            out.assign(kDollyAnswerSize, 0);
            putI32(out, 2, value(AxisSlot::slide));
            break;
        case DeviceFamily::lens:
            out.assign(kLensAnswerSize, 0);
            putI32(out, 2, value(AxisSlot::zoom));
            putI32(out, 6, value(AxisSlot::focus));
            break;
        case DeviceFamily::none:
            return {};
    }
    out[0] = keyposeAnswerId(family);
    out[kIndexOffset] = static_cast<std::uint8_t>(index);
    return out;
}

core::Bytes limitsAnswer(model::SetupKind setup, std::uint8_t flags, std::int16_t armLength,
                         std::span<const model::DeviceModel> devices) {
    namespace limits = model::limits_answer;
    core::Bytes out{limits::kMessageId, static_cast<std::uint8_t>(setup), flags};
    core::appendU16BE(out, static_cast<std::uint16_t>(armLength));
    out.push_back(static_cast<std::uint8_t>(devices.size()));
    for (const auto device : devices) {
        out.push_back(static_cast<std::uint8_t>(model::codeOf(device)));
    }
    return out;
}

}  // namespace kinetra::sim
