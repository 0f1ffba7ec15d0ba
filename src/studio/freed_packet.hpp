// The FreeD D1 packet: camera pan, tilt, roll, position, zoom and focus in the 29 bytes that
// virtual-production engines read once per video frame. Pure; called by the FreeD sender thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace kinetra::studio {

/// Byte layout of a D1 packet. Every multi-byte field is big-endian, 24 bits wide.
namespace freed {
inline constexpr std::size_t kPacketSize = 29;
inline constexpr std::uint8_t kTypeD1 = 0xD1;
inline constexpr std::size_t kTypeOffset = 0;
inline constexpr std::size_t kCameraOffset = 1;
inline constexpr std::size_t kPanOffset = 2;
inline constexpr std::size_t kTiltOffset = 5;
inline constexpr std::size_t kRollOffset = 8;
inline constexpr std::size_t kXOffset = 11;
inline constexpr std::size_t kYOffset = 14;
inline constexpr std::size_t kZOffset = 17;
inline constexpr std::size_t kZoomOffset = 20;
inline constexpr std::size_t kFocusOffset = 23;
inline constexpr std::size_t kSpareOffset = 26;  // two bytes, always 0
inline constexpr std::size_t kChecksumOffset = 28;
/// Angles are degrees x 32768 (15 fraction bits), positions millimetres x 64 (6 bits).
inline constexpr double kAngleScale = 32768.0;
inline constexpr double kPositionScale = 64.0;
inline constexpr std::int32_t kSignedMax = 0x7FFFFF;
inline constexpr std::int32_t kSignedMin = -0x800000;
inline constexpr std::uint32_t kUnsignedMax = 0xFFFFFF;
/// The checksum byte is this constant minus the sum of bytes 0..27, modulo 256.
inline constexpr std::uint8_t kChecksumBase = 0x40;
static_assert(kChecksumOffset == kPacketSize - 1);
static_assert(kSpareOffset == kFocusOffset + 3);
}  // namespace freed

using FreedPacket = std::array<std::uint8_t, freed::kPacketSize>;

/// Where one camera points and stands, in the units of the gear.
struct CameraPose {
    std::uint8_t cameraId = 0;
    double panDegrees = 0;
    double tiltDegrees = 0;
    double rollDegrees = 0;
    double xMillimetres = 0;
    double yMillimetres = 0;
    double zMillimetres = 0;
    double zoom = 0;   // raw lens counts
    double focus = 0;  // raw lens counts
};

/// The D1 packet of `pose`. An angle outside the field's +-256 degrees is brought into range by
/// whole turns (it is the same direction); positions and lens counts saturate at the field's
/// limits; a value that is not a number encodes as 0.
FreedPacket encodeFreedD1(const CameraPose& pose);

/// The checksum of the first 28 bytes of `packet` (what byte 28 must hold).
std::uint8_t freedChecksum(const FreedPacket& packet);

}  // namespace kinetra::studio
