#include "studio/freed_packet.hpp"

#include <algorithm>
#include <cmath>

namespace kinetra::studio {
namespace {

void put24(FreedPacket& packet, std::size_t offset, std::uint32_t value) {
    packet[offset] = static_cast<std::uint8_t>(value >> 16);
    packet[offset + 1] = static_cast<std::uint8_t>(value >> 8);
    packet[offset + 2] = static_cast<std::uint8_t>(value);
}

std::uint32_t signed24(double scaled) {
    if (!std::isfinite(scaled)) {
        scaled = 0;
    }
    const double clamped =
        std::clamp(std::round(scaled), double{freed::kSignedMin}, double{freed::kSignedMax});
    return static_cast<std::uint32_t>(static_cast<std::int32_t>(clamped)) & freed::kUnsignedMax;
}

std::uint32_t unsigned24(double value) {
    if (!std::isfinite(value)) {
        return 0;
    }
    return static_cast<std::uint32_t>(
        std::clamp(std::round(value), 0.0, double{freed::kUnsignedMax}));
}

// A head that has turned 300 degrees looks where -60 degrees looks; the field holds only
// +-256, so whole turns are taken off an angle that does not fit (and only then, so a pan that
// crosses 180 stays continuous).
double angleInRange(double degrees) {
    const double scaled = std::round(degrees * freed::kAngleScale);
    if (!std::isfinite(degrees) || (scaled >= freed::kSignedMin && scaled <= freed::kSignedMax)) {
        return degrees;
    }
    return std::remainder(degrees, 360.0);  // -180..180
}

void putAngle(FreedPacket& packet, std::size_t offset, double degrees) {
    put24(packet, offset, signed24(angleInRange(degrees) * freed::kAngleScale));
}

void putPosition(FreedPacket& packet, std::size_t offset, double millimetres) {
    put24(packet, offset, signed24(millimetres * freed::kPositionScale));
}

}  // namespace

std::uint8_t freedChecksum(const FreedPacket& packet) {
    unsigned sum = 0;
    for (std::size_t i = 0; i < freed::kChecksumOffset; ++i) {
        sum += packet[i];
    }
    return static_cast<std::uint8_t>(freed::kChecksumBase - sum);
}

FreedPacket encodeFreedD1(const CameraPose& pose) {
    FreedPacket packet{};
    packet[freed::kTypeOffset] = freed::kTypeD1;
    packet[freed::kCameraOffset] = pose.cameraId;
    putAngle(packet, freed::kPanOffset, pose.panDegrees);
    putAngle(packet, freed::kTiltOffset, pose.tiltDegrees);
    putAngle(packet, freed::kRollOffset, pose.rollDegrees);
    putPosition(packet, freed::kXOffset, pose.xMillimetres);
    putPosition(packet, freed::kYOffset, pose.yMillimetres);
    putPosition(packet, freed::kZOffset, pose.zMillimetres);
    put24(packet, freed::kZoomOffset, unsigned24(pose.zoom));
    put24(packet, freed::kFocusOffset, unsigned24(pose.focus));
    packet[freed::kChecksumOffset] = freedChecksum(packet);
    return packet;
}

}  // namespace kinetra::studio
