#include "settings/server_settings.hpp"

#include <charconv>

#include <spdlog/spdlog.h>

namespace kinetra::config {
namespace {

constexpr unsigned kMaxKeepAliveSeconds = 3600;

void readText(const json& server, const char* section, const char* key, bool isPort,
              std::string& target) {
    const json* value = nullptr;
    if (server.is_object() && server.contains(section) && server[section].is_object() &&
        server[section].contains(key)) {
        value = &server[section][key];
    }
    if (value != nullptr && value->is_string() &&
        (!isPort || portNumber(value->get<std::string>()))) {
        target = value->get<std::string>();
        return;
    }
    spdlog::warn("Configuration value {0}.{1} is missing or unusable; using {2}.", section, key,
                 target);
}

}  // namespace

void readKeepAlive(const json& server, std::chrono::seconds& keepAlive) {
    if (!server.is_object() || !server.contains("httpserver") ||
        !server["httpserver"].is_object() || !server["httpserver"].contains("keepaliveseconds")) {
        return;
    }
    const json& value = server["httpserver"]["keepaliveseconds"];
    unsigned seconds = 0;
    const std::string text = value.is_string() ? value.get<std::string>() : std::string();
    const auto* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, seconds);
    if (text.empty() || error != std::errc() || stop != end || seconds > kMaxKeepAliveSeconds) {
        spdlog::warn("Configuration value httpserver.keepAliveSeconds is unusable; using {0}.",
                     keepAlive.count());
        return;
    }
    keepAlive = std::chrono::seconds(seconds);
}

std::optional<std::uint16_t> portNumber(const std::string& text) {
    unsigned value = 0;
    const auto* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end || value > 65535) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(value);
}

ServerSettings readServerSettings(const json& server) {
    ServerSettings settings;
    readText(server, "httpserver", "address", false, settings.httpAddress);
    readText(server, "httpserver", "port", true, settings.httpPort);
    readText(server, "webserver", "address", false, settings.webAddress);
    readText(server, "webserver", "port", true, settings.webPort);
    readText(server, "websocket", "address", false, settings.webSocketAddress);
    readText(server, "websocket", "port", true, settings.webSocketPort);
    readKeepAlive(server, settings.keepAlive);
    return settings;
}

}  // namespace kinetra::config
