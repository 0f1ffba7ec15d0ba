// The gateway's side of the trust decision: applying a verdict of net::TrustPolicy to what the
// gateway is about to forward, including the commands only trusted clients may send. Pure;
// called by the handlers on the network service's worker threads.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "net/trust_policy.hpp"

namespace kinetra::gateway {

/// The commands that choose which port a link lives on or rewrite firmware.
inline constexpr std::string_view kPrivilegedCommands[] = {"device_found", "device_disconnected",
                                                           "startLinkDeviceFirmwareUpdate",
                                                           "startLinkRadioFirmwareUpdate"};

/// True when `message` is a JSON object whose "command" is one of kPrivilegedCommands.
bool isPrivilegedCommand(std::string_view message);

/// Nothing when a request with `body` may be forwarded under `verdict`; otherwise the full
/// HTTP response that answers it instead (preflight, 401 or 403). A privileged command from a
/// client that is not privileged is refused with 403.
std::optional<std::string> httpRefusal(const net::Verdict& verdict, std::string_view body);

}  // namespace kinetra::gateway
