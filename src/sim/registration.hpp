// Telling a server about an emulated link: the device_found and device_disconnected requests a
// link scanner would send for it, and a small HTTP client that posts them to a running server.
// The scanner cannot see a pseudo-terminal (it lists USB ports), so emulated links announce
// themselves. Runs on the thread of whoever registers.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "core/json.hpp"
#include "sim/link_config.hpp"

namespace kinetra::sim {

/// The device_found request for the link `config` describes on the terminal `portName`, in the
/// scanner's form, found now.
json deviceFoundRequest(const LinkConfig& config, const std::string& portName);

/// The device_disconnected request for the same link.
json deviceDisconnectedRequest(const LinkConfig& config, const std::string& portName);

/// Posts `body` to http://`host`:`port``path` and returns the response body, or nothing when the
/// server cannot be reached or does not answer within `timeout`.
std::optional<std::string> postJson(const std::string& host, std::uint16_t port,
                                    const std::string& path, const std::string& body,
                                    std::chrono::milliseconds timeout);

}  // namespace kinetra::sim
