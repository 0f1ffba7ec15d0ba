// What the emulated link received from the host, one record per host command or device message,
// in arrival order: what tests look at and what the command-line program logs. Pure data.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "core/bytes.hpp"
#include "core/enum_table.hpp"
#include "link/protocol.hpp"
#include "model/link_types.hpp"
#include "sim/device_commands.hpp"

namespace kinetra::sim {

enum class ReceivedKind : std::uint8_t {
    hostCommand,    ///< a frame from the host with an adapter command it understood
    deviceMessage,  ///< a device message, forwarded inside a frame or written without one
    unreadable,     ///< a frame whose command is unknown or whose arguments have the wrong size
};

struct Received {
    ReceivedKind kind = ReceivedKind::unreadable;
    /// The frame's payload (host commands, unreadable frames) or the device message.
    core::Bytes bytes;
    std::optional<link::AdapterCommand> command;
    std::optional<link::RadioCommand> radio;
    /// Device messages: the medium they came over; none when written without a frame.
    model::LinkConnectionType medium = model::LinkConnectionType::none;
    /// Device messages: byte 1, and how the message read.
    std::uint8_t opcode = 0;
    MessageCheck check = MessageCheck::ok;
    /// Device messages: a device got it (the medium was connected). Host commands: a link module
    /// of this type takes the command.
    bool delivered = false;
    /// Device messages: the devices acted on it and acknowledge it.
    bool accepted = false;
    /// When the emulator took it off the line (for latency measurements).
    std::chrono::steady_clock::time_point at{};

    bool isRadio(link::RadioCommand which) const { return radio && *radio == which; }
    bool isCommand(link::AdapterCommand which) const { return command && *command == which; }
};

inline constexpr auto kAdapterCommandNames = core::makeEnumTable<link::AdapterCommand>({
    {link::AdapterCommand::radioCommand, "radioCommand"},
    {link::AdapterCommand::forwardRj45, "forwardRj45"},
    {link::AdapterCommand::link2Connect, "link2Connect"},
    {link::AdapterCommand::link2PairStatus, "link2PairStatus"},
    {link::AdapterCommand::link2ScanResults, "link2ScanResults"},
    {link::AdapterCommand::forwardCanbus, "forwardCanbus"},
    {link::AdapterCommand::identify, "identify"},
    {link::AdapterCommand::selectLink, "selectLink"},
    {link::AdapterCommand::forwardCanbusUnacknowledged, "forwardCanbusUnacknowledged"},
    {link::AdapterCommand::linkVersions, "linkVersions"},
});

inline constexpr auto kRadioCommandNames = core::makeEnumTable<link::RadioCommand>({
    {link::RadioCommand::pairStatus, "pairStatus"},
    {link::RadioCommand::updateBegin, "updateBegin"},
    {link::RadioCommand::updateEnd, "updateEnd"},
    {link::RadioCommand::updateChunk, "updateChunk"},
    {link::RadioCommand::radioReset, "radioReset"},
    {link::RadioCommand::scanStart, "scanStart"},
    {link::RadioCommand::scanStop, "scanStop"},
    {link::RadioCommand::scanResults, "scanResults"},
    {link::RadioCommand::attachToBundle, "attachToBundle"},
    {link::RadioCommand::createBundle, "createBundle"},
    {link::RadioCommand::forwardWireless, "forwardWireless"},
    {link::RadioCommand::radioDisconnect, "radioDisconnect"},
});

/// One line for the log: the command or the message's opcode, medium and outcome, and the bytes
/// in hexadecimal (long ones cut).
std::string describe(const Received& received);

}  // namespace kinetra::sim
