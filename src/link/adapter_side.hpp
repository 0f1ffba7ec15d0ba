// The link adapter's side of the wire, for the emulated adapter: host commands read back from
// their payloads, and the payloads an adapter sends up. Pure; runs on the emulator's thread.
#pragma once

#include <cstdint>
#include <optional>

#include "core/bytes.hpp"
#include "link/pairing_codec.hpp"
#include "link/protocol.hpp"
#include "model/link_types.hpp"

namespace kinetra::link {

/// One command as the adapter receives it.
struct HostCommand {
    AdapterCommand command = AdapterCommand::identify;
    std::optional<RadioCommand> radio;  ///< set for `radioCommand`
    /// What follows the command byte(s): the selectLink byte, a device message (for
    /// forwardWireless without its length byte), a MAC, a createBundle body or an image chunk.
    core::ByteView argument;
};

/// The command in a payload from the host, pointing into it. Empty when the command byte is
/// unknown or the arguments do not have the size the command takes.
std::optional<HostCommand> readHostCommand(core::ByteView payload);

/// Appends the payload an adapter sends for a device message that came over `medium`:
/// wireless [1, 2, message], CAN bus [2, address, 0x1F, 0x41, message], RJ45 [3, message].
/// False, with nothing appended, for a medium that carries no device messages.
bool appendFromDevice(core::Bytes& out, model::LinkConnectionType medium, core::ByteView message,
                      std::uint8_t deviceAddress);

/// Appends the 20 bytes of one wireless scan entry (the unreported bytes as zero).
void appendWirelessScanEntry(core::Bytes& out, const WirelessScanEntry& entry);

/// Appends the 3 bytes of one CAN bus scan entry.
void appendCanScanEntry(core::Bytes& out, const CanScanEntry& entry);

}  // namespace kinetra::link
