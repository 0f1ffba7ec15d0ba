// What one emulated link module is: its kind, its firmware versions and the devices behind it,
// and the faults it shows on demand. Pure data, set by the creator and read by the emulator's
// thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "link/adapter_commands.hpp"
#include "link/link_states.hpp"
#include "model/device_model.hpp"
#include "model/link_types.hpp"
#include "model/setup_kind.hpp"

namespace kinetra::sim {

using Clock = std::chrono::steady_clock;
using Milliseconds = std::chrono::milliseconds;

/// One device behind the link: what it reports in scans and status messages.
struct DeviceConfig {
    model::DeviceModel model = model::DeviceModel::turretAlpha2;
    /// Controller firmware: the status records, the CAN bus scan (high byte, low byte) and the
    /// wireless scan (its low 7 bits, which is all the entry holds).
    std::uint16_t firmwareVersion = 102;
    /// Radio firmware: the wireless scan entry and the status record's second version.
    std::uint8_t radioVersion = 32;
    /// Give every device of a link its own: pairing finds devices by MAC.
    link::Mac mac{0x24, 0x6F, 0x28, 0x1A, 0x00, 0x01};
    /// The setup the device reports in a wireless scan.
    model::SetupKind setup = model::SetupKind::panTilt;
    std::int8_t rssi = -48;
    /// Devices with the same group id form one radio group (attachToBundle joins all of them).
    std::uint16_t groupId = 0x2A17;
    /// Battery level in hundredths, as the status record carries it.
    std::uint8_t batteryPercent = 85;
    /// A turret gamma mounted tilted reports it in scans.
    bool tilted = false;
    /// The axis slots (bit k = slot k) the device drives; by default those of its model.
    std::optional<std::uint8_t> axes;
};

/// How long the timed steps of the emulated gear take. Tests shorten them.
struct Timings {
    Milliseconds statusInterval{50};  // about 20 status messages a second while paired
    Milliseconds pairingTime{1000};   // from createBundle or link2Connect to connectionOk
    Milliseconds calibrationTime{2000};
    Milliseconds joystickTimeout{500};  // a stick that is not refreshed lets go
    /// A device message written without a frame that stays incomplete this long is given up.
    Milliseconds unframedGap{50};
};

/// A pan/tilt head whose firmware takes real-time moves, on a slider.
std::vector<DeviceConfig> defaultDevices();

struct LinkConfig {
    model::LinkType linkType = model::LinkType::linkAdapter;
    /// The name the server gives the link (a USB serial number); used in logs.
    std::string linkID = "KSIM0001";
    /// The adapter's own versions, as `linkVersions` reports them (controller byte 3, radio 5).
    std::uint8_t controllerVersion = 4;
    std::uint8_t radioVersion = 1;
    /// The devices behind the link, the primary first. At most five appear in a status message.
    std::vector<DeviceConfig> devices = defaultDevices();
    /// Key-pose slots of the bundle: 3 or 6.
    std::uint8_t keyposeSlots = 6;
    /// A crane arm's arm length as the numeric-limits answer reports it.
    std::int16_t armLength = 150;
    Timings timings;
    /// Log every unit received at info level (the command-line program does).
    bool logTraffic = false;
};

/// A stop-motion module: a single pan/tilt head that is itself the link module.
LinkConfig defaultModuleConfig();

/// The axis slots a device of `model` drives when its configuration does not say.
std::uint8_t defaultAxesOf(model::DeviceModel model);
std::uint8_t axesOf(const DeviceConfig& device);

/// Faults the emulator shows on demand; every field can change while it runs.
struct Faults {
    /// Send nothing at all (replies, answers, status messages); still receive and record.
    bool silent = false;
    /// Lose every Nth reply (0: none): adapter replies, device answers and device
    /// acknowledgements count alike. A lost acknowledgement leaves the acknowledge byte as it
    /// was although the message took effect, as when the device's answer is lost on the way.
    unsigned dropEveryNthReply = 0;
    /// Hold every reply, answer and acknowledgement back this long.
    Milliseconds replyDelay{0};
    /// Around the frames, send bursts of random bytes closed by an end byte and now and then a
    /// copy of a frame with a wrong checksum (see LineNoise): a host must discard both and keep
    /// the frame.
    bool noise = false;
    /// The radio stops acknowledging firmware chunks from this chunk of an update on (0 based).
    std::optional<std::size_t> stopChunkAcknowledgementAt;
    /// Wireless pairing ends in "problem" with this error instead of "connectionOk".
    std::optional<link::WirelessPairError> wirelessPairError;
    /// CAN bus pairing falls back to "idle" with this error instead of "connectionOk".
    std::optional<link::CanbusPairError> canbusPairError;
};

}  // namespace kinetra::sim
