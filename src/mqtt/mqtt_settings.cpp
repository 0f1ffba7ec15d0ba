#include "mqtt/mqtt_settings.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>

#include <fmt/format.h>

#include "settings/value_text.hpp"

namespace kinetra::mqtt {
namespace {

constexpr std::uint16_t kPlainPort = 1883;
constexpr std::uint16_t kTlsPort = 8883;

// The text of [mqtt] key, trimmed, when the file has it.
std::optional<std::string> text(const json& server, const char* key) {
    if (!server.is_object() || !server.contains("mqtt") || !server["mqtt"].is_object()) {
        return std::nullopt;
    }
    const auto& values = server["mqtt"];
    if (!values.contains(key) || !values[key].is_string()) {
        return std::nullopt;
    }
    return std::string(config::trim(values[key].get_ref<const std::string&>()));
}

std::optional<bool> flag(std::string value) {
    std::transform(value.begin(), value.end(), value.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    for (const char* yes : {"true", "yes", "on", "1"}) {
        if (value == yes) {
            return true;
        }
    }
    for (const char* no : {"false", "no", "off", "0"}) {
        if (value == no) {
            return false;
        }
    }
    return std::nullopt;
}

MqttRefused refused(const char* key, const std::string& value, const char* why) {
    return {fmt::format("[mqtt] {0} = \"{1}\" {2}", key, value, why)};
}

}  // namespace

std::string BrokerAddress::text() const {
    const bool v6 = host.find(':') != std::string::npos;
    return fmt::format("{0}://{1}:{2}", tls ? "mqtts" : "mqtt", v6 ? "[" + host + "]" : host, port);
}

std::optional<BrokerAddress> parseBrokerUrl(std::string_view url) {
    BrokerAddress address;
    if (url.starts_with("mqtts://")) {
        address.tls = true;
        url.remove_prefix(8);
    } else if (url.starts_with("mqtt://")) {
        url.remove_prefix(7);
    } else {
        return std::nullopt;
    }
    if (url.ends_with('/')) {
        url.remove_suffix(1);  // "mqtt://host/" is still the broker
    }
    // Credentials belong in username and passwordFile, never in the URL (nor the log).
    if (url.find_first_of("@/?# ") != std::string_view::npos) {
        return std::nullopt;
    }
    std::string_view port;
    if (url.starts_with('[')) {
        const auto close = url.find(']');
        if (close == std::string_view::npos) {
            return std::nullopt;
        }
        address.host = url.substr(1, close - 1);
        const auto rest = url.substr(close + 1);
        if (!rest.empty() && !rest.starts_with(':')) {
            return std::nullopt;
        }
        port = rest.empty() ? rest : rest.substr(1);
        if (rest == ":") {
            return std::nullopt;
        }
    } else {
        const auto colon = url.find(':');
        if (colon != std::string_view::npos && url.find(':', colon + 1) != std::string_view::npos) {
            return std::nullopt;  // an IPv6 address needs its brackets
        }
        address.host = url.substr(0, colon);
        if (colon != std::string_view::npos) {
            port = url.substr(colon + 1);
            if (port.empty()) {
                return std::nullopt;
            }
        }
    }
    address.port = address.tls ? kTlsPort : kPlainPort;
    if (!port.empty()) {
        unsigned value = 0;
        const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), value);
        if (error != std::errc() || end != port.data() + port.size() || value == 0 ||
            value > 65535) {
            return std::nullopt;
        }
        address.port = static_cast<std::uint16_t>(value);
    }
    if (address.host.empty()) {
        return std::nullopt;
    }
    return address;
}

bool isTopicName(std::string_view topic) {
    return !topic.empty() && topic.find_first_of(std::string_view("+#\0", 3)) == topic.npos &&
           !topic.starts_with('/') && !topic.ends_with('/');
}

MqttConfig readMqttSettings(const json& server, std::string_view hostName) {
    const auto url = text(server, "url");
    if (!url || url->empty()) {
        return MqttOff{};
    }
    MqttSettings settings;
    const auto broker = parseBrokerUrl(*url);
    if (!broker) {
        return refused("url", *url, "is not mqtt://host:port or mqtts://host:port");
    }
    settings.broker = *broker;
    settings.clientId = "kinetra-" + std::string(hostName);
    settings.topicPrefix = "kinetra/" + std::string(hostName);
    if (const auto id = text(server, "clientid"); id && !id->empty()) {
        settings.clientId = *id;
    }
    settings.username = text(server, "username").value_or("");
    settings.passwordFile = text(server, "passwordfile").value_or("");
    settings.caFile = text(server, "cafile").value_or("");
    if (!settings.caFile.empty() && !settings.broker.tls) {
        // A CA file asks for a verified broker; over plain mqtt:// nothing would be verified.
        return refused("caFile", settings.caFile, "needs an mqtts:// url");
    }
    if (const auto prefix = text(server, "topicprefix"); prefix && !prefix->empty()) {
        if (!isTopicName(*prefix)) {
            return refused("topicPrefix", *prefix,
                           "is not a topic (no +, #, nor a / at either end)");
        }
        settings.topicPrefix = *prefix;
    } else if (!isTopicName(settings.topicPrefix)) {
        return refused("topicPrefix", settings.topicPrefix, "(from the host name) is not a topic");
    }
    if (const auto rate = text(server, "statusrate"); rate && !rate->empty()) {
        double value = 0;
        const auto [end, error] = std::from_chars(rate->data(), rate->data() + rate->size(), value);
        if (error != std::errc() || end != rate->data() + rate->size() || !(value > 0) ||
            value > kHighestStatusRate) {
            return refused("statusRate", *rate, "is not a rate above 0 and up to 1000");
        }
        settings.statusRate = value;
    }
    for (const auto& [key, name, target] :
         {std::tuple{"commands", "commands", &settings.commands},
          std::tuple{"homeassistant", "homeAssistant", &settings.homeAssistant}}) {
        if (const auto value = text(server, key); value && !value->empty()) {
            const auto parsed = flag(*value);
            if (!parsed) {
                return refused(name, *value, "is not true or false");
            }
            *target = *parsed;
        }
    }
    return settings;
}

}  // namespace kinetra::mqtt
