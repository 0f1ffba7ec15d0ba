// The names of the link service's commands, shared by its dispatcher and by whatever lists what
// the service answers (the API reference is checked against them). Pure.
#pragma once

#include <array>
#include <string_view>
#include <vector>

namespace kinetra::link {

namespace commands {
inline constexpr std::string_view kLinkStatusFromDevice = "link_status_from_device";
inline constexpr std::string_view kRadioUpdateStatus = "linkRadioFirmwareUpdateStatus";
inline constexpr std::string_view kStatus = "status";
inline constexpr std::string_view kLinkStatistics = "linkStatistics";
inline constexpr std::string_view kStatusUpdate = "statusUpdate";
inline constexpr std::string_view kStartRadioUpdate = "startLinkRadioFirmwareUpdate";
inline constexpr std::string_view kDisconnect = "disconnect";
inline constexpr std::string_view kDetect = "linkAdapter_detect";

/// The commands the dispatcher answers itself, in the order of its table.
inline constexpr std::array<std::string_view, 8> kServiceCommands = {
    kLinkStatusFromDevice, kRadioUpdateStatus, kStatus,     kLinkStatistics,
    kStatusUpdate,         kStartRadioUpdate,  kDisconnect, kDetect};
}  // namespace commands

/// The names of the pairing commands, in the order of their table.
std::vector<std::string_view> pairingCommandNames();

/// Every command inproc://v1/link/<linkID> answers: the service's own, then the pairing
/// commands. (The detect endpoint answers linkAdapter_detect whatever it is sent.)
std::vector<std::string_view> linkServiceCommandNames();

}  // namespace kinetra::link
