// The [mqtt] settings the MQTT client runs with, read from the configuration service's "server"
// section (config.ini's sections, keys in lower case). Pure; read once on the thread that builds
// the MQTT service.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "core/json.hpp"

namespace kinetra::mqtt {

/// Where the broker is: "mqtt://host[:port]" (port 1883) or "mqtts://host[:port]" (8883, TLS).
struct BrokerAddress {
    std::string host;  // a name or an address; IPv6 without brackets
    std::uint16_t port = 0;
    bool tls = false;
    /// The URL in its normal form ("mqtts://[::1]:8883"), as logs and studioStatus show it.
    std::string text() const;
};

struct MqttSettings {
    BrokerAddress broker;
    std::string clientId;      // "kinetra-<hostname>" unless set
    std::string username;      // empty: none sent
    std::string passwordFile;  // a file holding the password; empty: none sent
    std::string caFile;        // PEM CA the broker's certificate must chain to; mqtts only
    std::string topicPrefix;   // "kinetra/<hostname>" unless set; no trailing '/'
    double statusRate = 10;    // status messages a second per link at most
    bool commands = false;     // take commands from the broker
    bool homeAssistant = false;
};

/// What [mqtt] says: off (url empty or absent), the settings to run with, or why they are refused.
struct MqttOff {};
struct MqttRefused {
    std::string reason;  // names the key and the value; never a password
};
using MqttConfig = std::variant<MqttOff, MqttSettings, MqttRefused>;

inline constexpr double kHighestStatusRate = 1000;

/// "mqtt://host:port" or "mqtts://host:port" (port optional, IPv6 in brackets); nothing when it
/// is not one, or carries a user name, path or query.
std::optional<BrokerAddress> parseBrokerUrl(std::string_view url);

/// True when `topic` may stand in a topic name: not empty, no '+', '#' or NUL, no empty level
/// at either end.
bool isTopicName(std::string_view topic);

/// Reads [mqtt] of `server` (the configuration's "server" reply). `hostName` fills the default
/// client id and topic prefix. Any value that does not parse refuses the whole section.
MqttConfig readMqttSettings(const json& server, std::string_view hostName);

}  // namespace kinetra::mqtt
