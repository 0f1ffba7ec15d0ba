// Reading [security]: lists are comma-separated text, as every INI value is text.
#include "settings/security_settings.hpp"

#include <charconv>

#include <spdlog/spdlog.h>

namespace kinetra::config {
namespace {

// The text of security.`key` (INI keys arrive in lower case), when present and a string.
const json* valueOf(const json& server, const char* key) {
    if (!server.is_object() || !server.contains("security") || !server["security"].is_object() ||
        !server["security"].contains(key)) {
        return nullptr;
    }
    const json& value = server["security"][key];
    if (!value.is_string()) {
        spdlog::warn("Configuration value security.{0} is unusable; using its default.", key);
        return nullptr;
    }
    return &value;
}

}  // namespace

SecuritySettings readSecuritySettings(const json& server) {
    SecuritySettings settings;
    if (const auto* value = valueOf(server, "allowedhosts")) {
        settings.allowedHosts = splitList(value->get<std::string>());
    }
    if (const auto* value = valueOf(server, "allowedorigins")) {
        settings.allowedOrigins = splitList(value->get<std::string>());
    }
    if (const auto* value = valueOf(server, "apikey")) {
        settings.apiKey = std::string(trim(value->get<std::string>()));
    }
    if (const auto* value = valueOf(server, "trustednetworks")) {
        // An empty list is a choice (nobody is trusted), not a missing value.
        settings.trustedNetworks = splitList(value->get<std::string>());
    }
    if (const auto* value = valueOf(server, "maxconnections")) {
        const auto& text = value->get_ref<const std::string&>();
        std::size_t number = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
        if (error == std::errc() && end == text.data() + text.size() && number > 0) {
            settings.maxConnections = number;
        } else {
            spdlog::warn("Configuration value security.maxConnections is unusable; using {0}.",
                         settings.maxConnections);
        }
    }
    return settings;
}

}  // namespace kinetra::config
