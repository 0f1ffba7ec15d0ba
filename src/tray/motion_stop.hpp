// The tray's "Stop all motion": motionAbortAll posted to the device service over the bus, with a
// bounded wait, and its outcome logged and shown. Runs on the tray's thread.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "core/json.hpp"

namespace kinetra::tray {

/// The device service answers within its own 800 ms bound; a little more for the bus.
inline constexpr std::chrono::milliseconds kStopAllTimeout{1000};

/// One line per bundle from a motionAbortAll reply ("KSIM0001: ok"), or why there is none.
std::string stopAllSummary(const std::optional<json>& reply);

/// Sends {"command":"motionAbortAll"} to `deviceEndpoint`, waits at most `timeout` (the send
/// too), logs the summary and shows it as a notification. Returns the reply, if one came.
std::optional<json> stopAllMotion(std::string_view deviceEndpoint,
                                  std::chrono::milliseconds timeout = kStopAllTimeout);

}  // namespace kinetra::tray
