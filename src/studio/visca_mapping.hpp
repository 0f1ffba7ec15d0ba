// What a VISCA message asks of a bundle: the bundle command it becomes (no new device messages,
// only the commands every client has), how the camera will know it is done, and the answers to
// inquiries, all from the bundle's latest status. Pure; called by the VISCA thread.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <variant>

#include "core/version.hpp"
#include "studio/link_table.hpp"
#include "studio/osc_mapping.hpp"
#include "studio/visca_codec.hpp"

namespace kinetra::studio::visca {

/// The pan/tilt speed at the top VISCA speed (18h pan, 17h tilt), degrees a second; a speed
/// code v is the fraction v/18h (v/17h) of it.
inline constexpr double kTopDegreesPerSecond = 90.0;
/// Home runs at this VISCA speed, half the top.
inline constexpr std::uint8_t kHomeSpeed = 0x0C;
/// Real-time moves last at least this long and at most what their 16-bit millisecond field
/// carries.
inline constexpr double kShortestMoveSeconds = 0.1;
inline constexpr double kLongestMoveSeconds = 65.535;
/// Memory Recall: keyposeMoveFixedSpeed at this fraction of the top speed and acceleration.
inline constexpr double kRecallSpeed = 0.5;
inline constexpr double kRecallAcceleration = 0.3;
/// Focus drive: encoder steps a second at the top speed (7); speed p moves (p + 1)/8 of it, the
/// standard Far/Near moves at speed 3.
inline constexpr double kFocusTopStepsPerSecond = 2000.0;
inline constexpr std::uint8_t kStandardFocusSpeed = 3;
/// A focus drive sends one focusManualMove this often.
inline constexpr std::chrono::milliseconds kFocusStepInterval{100};
/// The version inquiry's answer: a vendor and model code of our own, the ROM version, and the
/// one command socket this camera has.
inline constexpr std::uint16_t kVendorId = 0x4B54;
inline constexpr std::uint16_t kModelId = 0x0001;
inline constexpr std::uint8_t kSockets = 1;
constexpr std::uint16_t versionNumber(std::string_view digits) {
    std::uint16_t value = 0;
    for (const char c : digits) {
        value = static_cast<std::uint16_t>(value * 10 + (c - '0'));
    }
    return value;
}
/// The program's major version in the high byte, its minor in the low.
inline constexpr std::uint16_t kRomVersion = static_cast<std::uint16_t>(
    (versionNumber(core::kVersionMajor) << 8) | versionNumber(core::kVersionMinor));

/// How the camera learns that a command is done.
struct Done {
    enum class Kind : std::uint8_t {
        atOnce,      // a drive, a stop, power on: Completion with the ACK
        moveEnds,    // a move: the status shows it moving, then idle
        slotFilled,  // Memory Set: the status shows the slot filled
        slotEmpty,   // Memory Reset: the status shows the slot empty
    };
    Kind kind = Kind::atOnce;
    std::chrono::milliseconds duration{0};            // a move's planned length, when known
    std::optional<std::pair<double, double>> target;  // a move's pan and tilt in degrees
    int slot = 0;
};

/// A command for the bundle and how its end is known.
struct Plan {
    BundleCommand command;
    Done done;
};
/// Why a message cannot be carried out (answered "not executable").
struct Refusal {
    std::string reason;
};
using Mapped = std::variant<Plan, Refusal>;

/// Pan-tiltDrive: joystickMove with the speeds as deflections on the head's pan and tilt (a
/// crane arm's jib when there is no head); the stop direction gives a zero joystickMove.
Mapped mapDrive(const PanTiltDrive& drive, const std::string& linkId,
                const std::optional<LinkView>& view);
/// AbsolutePosition, RelativePosition and Home: realTimeMoveFixedDuration on the bundle's
/// real-time axes, pan and tilt to the target, the others held where the status has them; the
/// duration is the slower axis's distance at its speed. `unitDegrees`: one position unit.
Mapped mapMove(const PanTiltMove& move, const std::string& linkId,
               const std::optional<LinkView>& view, double unitDegrees);
Mapped mapHome(const std::string& linkId, const std::optional<LinkView>& view);
/// Memory Set, Recall and Reset on key-pose slot pp, for pp within the bundle's slots.
Mapped mapMemory(const Memory& memory, const std::string& linkId,
                 const std::optional<LinkView>& view);
/// One focusManualMove step of a focus drive (direction +1 far, -1 near) lasting
/// kFocusStepInterval; refused where the bundle has no focus axis.
Mapped mapFocusStep(int direction, std::uint8_t speed, const std::string& linkId,
                    const std::optional<LinkView>& view);

/// The data of a Pan-tiltPosInq answer: pan, then tilt, each in four nibbles, in position units
/// rounded to the nearest and held within the 16-bit range.
std::variant<Bytes, Refusal> panTiltPosition(const std::optional<LinkView>& view,
                                             double unitDegrees);
/// The data of a FocusPosInq answer: the focus reading in four nibbles, held within 0..FFFFh.
std::variant<Bytes, Refusal> focusPosition(const std::optional<LinkView>& view);

/// How near a move's pan and tilt must come to its target to count as there.
inline constexpr double kReachedDegrees = 0.2;
/// Whether the readings of `view` are at the pan and tilt `done` moves to (false without one).
bool reached(const Done& done, const LinkView& view);

/// A position in degrees as position units: rounded, held within -32768..32767.
std::int16_t toUnits(double degrees, double unitDegrees);

}  // namespace kinetra::studio::visca
