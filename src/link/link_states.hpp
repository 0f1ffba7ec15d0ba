// The states the link service reports in JSON: pairing progress per medium and the radio
// firmware update. Pure data, read by the link service and the radio update thread.
#pragma once

#include <cstdint>

#include "core/enum_table.hpp"

namespace kinetra::link {

/// Byte 2 of the radio's pair status reply ("wirelessPairState").
enum class WirelessPairState : std::uint8_t {
    idle = 0,
    connecting = 1,
    connectionOk = 2,
    problem = 3
};

inline constexpr auto kWirelessPairStateTable = core::makeEnumTable<WirelessPairState>({
    {WirelessPairState::idle, "idle"},
    {WirelessPairState::connecting, "connecting"},
    {WirelessPairState::connectionOk, "connectionOk"},
    {WirelessPairState::problem, "problem"},
});

/// Byte 4 of the radio's pair status reply ("lastPairError").
enum class WirelessPairError : std::uint8_t {
    none = 0,
    wifiChannelMismatch = 1,
    impossibleScenario = 2,
    radioFirmwareUpdateRequired = 3,
    deviceFirmwareUpdateRequired = 4,
    unknown = 5,
    deviceSearchProblem = 6,
    alreadyGroupMember = 7,
    connectionProblem = 8,
};

inline constexpr auto kWirelessPairErrorTable = core::makeEnumTable<WirelessPairError>({
    {WirelessPairError::none, "none"},
    {WirelessPairError::wifiChannelMismatch, "wifiChannelMismatch"},
    {WirelessPairError::impossibleScenario, "impossibleScenario"},
    {WirelessPairError::radioFirmwareUpdateRequired, "radioFirmwareUpdateRequired"},
    {WirelessPairError::deviceFirmwareUpdateRequired, "deviceFirmwareUpdateRequired"},
    {WirelessPairError::unknown, "unknown"},
    {WirelessPairError::deviceSearchProblem, "deviceSearchProblem"},
    {WirelessPairError::alreadyGroupMember, "alreadyGroupMember"},
    {WirelessPairError::connectionProblem, "connectionProblem"},
});

/// Byte 2 of the adapter's CAN bus pair status reply ("canbusPairState").
enum class CanbusPairState : std::uint8_t {
    idle = 0,
    pingReceived = 1,
    connecting = 2,
    connectionOk = 3,
};

inline constexpr auto kCanbusPairStateTable = core::makeEnumTable<CanbusPairState>({
    {CanbusPairState::idle, "idle"},
    {CanbusPairState::pingReceived, "pingReceived"},
    {CanbusPairState::connecting, "connecting"},
    {CanbusPairState::connectionOk, "connectionOk"},
});

/// Byte 3 of the adapter's CAN bus pair status reply ("lastPairError").
enum class CanbusPairError : std::uint8_t {
    none = 0,
    impossibleScenario = 1,
    deviceFirmwareUpdateRequired = 2,
    unknown = 3,
    cantAppendDevice = 4,
};

inline constexpr auto kCanbusPairErrorTable = core::makeEnumTable<CanbusPairError>({
    {CanbusPairError::none, "none"},
    {CanbusPairError::impossibleScenario, "impossibleScenario"},
    {CanbusPairError::deviceFirmwareUpdateRequired, "deviceFirmwareUpdateRequired"},
    {CanbusPairError::unknown, "unknown"},
    {CanbusPairError::cantAppendDevice, "cantAppendDevice"},
});

/// Progress of a radio firmware update, held by the link handler as a 32-bit atomic.
enum class RadioUpdateStatus : std::int32_t { none = 0, running = 1, error = 2, finished = 3 };

inline constexpr auto kRadioUpdateStatusTable = core::makeEnumTable<RadioUpdateStatus>({
    {RadioUpdateStatus::none, "none"},
    {RadioUpdateStatus::running, "running"},
    {RadioUpdateStatus::error, "error"},
    {RadioUpdateStatus::finished, "finished"},
});

}  // namespace kinetra::link
