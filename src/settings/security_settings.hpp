// The [security] section of config.ini: who may reach the server's listeners. Read once at start
// by the gateway and by the web application's server, on their starting thread.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "core/json.hpp"
#include "settings/value_text.hpp"

namespace kinetra::config {

struct SecuritySettings {
    /// Host names (or addresses) a request's Host may name besides this machine's own; "*"
    /// allows any.
    std::vector<std::string> allowedHosts;
    /// Origins ("scheme://host:port") whose pages may call the API besides the web
    /// application's own; "*" allows every origin (the open behaviour of old).
    std::vector<std::string> allowedOrigins;
    /// When not empty, clients outside trustedNetworks must present this key.
    std::string apiKey;
    /// CIDR blocks whose clients need no key and may use the port and firmware commands.
    std::vector<std::string> trustedNetworks{"127.0.0.0/8", "::1/128"};
    /// Connections one listener holds at most; more are closed at once.
    std::size_t maxConnections = 512;
};

/// Reads the "security" member of the configuration service's "server" reply. A missing
/// section means the defaults; each unusable value falls back to its default with a warning.
SecuritySettings readSecuritySettings(const json& server);

}  // namespace kinetra::config
