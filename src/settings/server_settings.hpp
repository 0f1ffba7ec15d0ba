// Reading the "server" section into the six listener settings, tolerating a config.ini that
// lacks a section or key or holds a port that is not a number.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "core/json.hpp"

namespace kinetra::config {

struct ServerSettings {
    std::string httpAddress = "0.0.0.0";
    std::string httpPort = "32222";
    std::string webAddress = "0.0.0.0";
    std::string webPort = "32223";
    std::string webSocketAddress = "0.0.0.0";
    std::string webSocketPort = "32224";
    /// How long an HTTP connection (the API's and the web application's) stays open after an
    /// answer for the client's next request; zero: closed after every answer.
    std::chrono::seconds keepAlive{5};
};

/// Reads `server` (the configuration service's "server" reply). Each missing or unusable
/// value falls back to its built-in default with one warning naming it.
ServerSettings readServerSettings(const json& server);

/// Reads `[httpserver] keepAliveSeconds` from `server` into `keepAlive`: whole seconds, 0 to
/// 3600. An older config.ini without it keeps the default silently; an unusable value keeps it
/// with a warning.
void readKeepAlive(const json& server, std::chrono::seconds& keepAlive);

/// The port number of a decimal text, when it is one (0 to 65535, digits only).
std::optional<std::uint16_t> portNumber(const std::string& text);

}  // namespace kinetra::config
