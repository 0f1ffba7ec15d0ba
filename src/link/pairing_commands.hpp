// The link service commands that ask an adapter for its firmware versions and drive pairing over
// the radio, the CAN bus ("link2") and the RJ45 cable ("link1"). Run by the link service thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/json.hpp"
#include "link/link_session.hpp"

namespace kinetra::link {

/// `link_status_from_device`: asks an adapter for its versions and sets the record's firmware
/// flags (and `firmwareUpdateRequired` when an update is required); a stop-motion module clears
/// `firmwareUpdateRequired`. Sets `statusKnown` in every case. Replies the bare text "true", or
/// "false" when the adapter did not answer.
std::string linkStatusFromDevice(LinkSession& session);

/// Unpairing's last step on a link adapter: the connection becomes none and the adapter is told
/// to leave its medium (a radio link also disconnects the radio). Outcomes are not looked at.
/// Nothing is sent to a stop-motion module.
void leaveMedium(LinkSession& session);

/// The reply text of a command; nothing when no reply at all is to be sent.
using CommandReply = std::optional<std::string>;

/// A pairing command. Throws (nlohmann::json's exceptions or std::invalid_argument, with a text
/// for the log) on a malformed request, before anything is sent.
using PairingCommand = CommandReply (*)(LinkSession& session, const json& request);

/// The pairing command named `name` (`wirelessPairingScanStart` ... `link2PairingStatus`);
/// nullptr for any other name.
PairingCommand findPairingCommand(std::string_view name);

}  // namespace kinetra::link
