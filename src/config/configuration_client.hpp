// Asking the configuration service for one section, from any thread, with a bounded wait.
#pragma once

#include <chrono>
#include <optional>
#include <string_view>

#include "core/json.hpp"

namespace kinetra::config {

/// Default bound on the wait for the configuration service.
inline constexpr std::chrono::milliseconds kConfigurationTimeout{5000};

/// Sends {"command": section} to `endpoint` and returns the parsed reply, or nothing when no
/// reply came within `timeout` or the reply was not JSON.
std::optional<json> requestConfigurationSection(
    std::string_view endpoint, std::string_view section,
    std::chrono::milliseconds timeout = kConfigurationTimeout);

}  // namespace kinetra::config
