#include "mqtt/home_assistant.hpp"

#include <array>
#include <cctype>

#include <fmt/format.h>

namespace kinetra::mqtt {
namespace {

struct Reading {
    std::string_view key;   // in the status's "readings"
    std::string_view name;  // shown in Home Assistant
    std::string_view unit;  // empty: a count
};

constexpr std::array<Reading, 6> kReadings = {{
    {"headPan", "Head pan", "°"},
    {"headTilt", "Head tilt", "°"},
    {"slide", "Slide", "m"},
    {"focus", "Focus", ""},
    {"jibPan", "Jib pan", "°"},
    {"jibTilt", "Jib tilt", "°"},
}};

// Discovery node and object ids take letters, digits, '_' and '-' only.
std::string idOf(std::string_view text) {
    std::string id(text);
    for (auto& c : id) {
        if (std::isalnum(static_cast<unsigned char>(c)) == 0 && c != '_' && c != '-') {
            c = '_';
        }
    }
    return id;
}

// A device's "type", or `fallback` where it has none that is text.
std::string typeOf(const json& device, const char* fallback) {
    const auto type = device.is_object() ? device.find("type") : device.end();
    return type != device.end() && type->is_string() ? type->get<std::string>() : fallback;
}

}  // namespace

std::map<std::string, std::string> discoveryDocuments(const Topics& topics, std::string_view linkId,
                                                      const json& status, bool withButton) {
    // Two servers may each have a link of the same name: the prefix keeps their devices apart.
    const std::string node = idOf(topics.prefix()) + "_" + idOf(linkId);
    const json devices = status.is_object() ? status.value("deviceInfo", json::array()) : json();
    const json readings = status.is_object() ? status.value("readings", json()) : json();
    const json device = {
        {"identifiers", {node}},
        {"manufacturer", "Kinetra"},
        {"model", devices.is_array() && !devices.empty() ? typeOf(devices[0], "bundle") : "bundle"},
        {"name", fmt::format("kinetra {0}", linkId)},
    };
    const auto document = [&](std::string_view object, std::string_view name) {
        return json{{"availability_topic", topics.online()},
                    {"device", device},
                    {"name", name},
                    {"payload_available", "true"},
                    {"payload_not_available", "false"},
                    {"unique_id", node + "_" + std::string(object)}};
    };
    const auto sensorTopic = [&](std::string_view object) {
        return fmt::format("{0}/sensor/{1}/{2}/config", kDiscoveryPrefix, node, object);
    };

    std::map<std::string, std::string> documents;
    for (const auto& reading : kReadings) {
        if (!readings.is_object() || !readings.contains(reading.key)) {
            continue;
        }
        auto config = document(reading.key, reading.name);
        config["state_topic"] = topics.status(linkId);
        config["state_class"] = "measurement";
        config["value_template"] = fmt::format("{{{{ value_json.readings.{0} }}}}", reading.key);
        if (!reading.unit.empty()) {
            config["unit_of_measurement"] = reading.unit;
        }
        documents[sensorTopic(reading.key)] = core::dumpCompact(config);
    }
    for (std::size_t i = 0; devices.is_array() && i < devices.size(); ++i) {
        const auto object = fmt::format("battery_{0}", i);
        const auto type = typeOf(devices[i], "device");
        auto config = document(object, fmt::format("Battery {0} ({1})", i + 1, type));
        config["device_class"] = "battery";
        config["state_topic"] = topics.status(linkId);
        config["state_class"] = "measurement";
        config["unit_of_measurement"] = "%";
        config["value_template"] =
            fmt::format("{{{{ (value_json.deviceInfo[{0}].batteryLevel * 100) | round(0) }}}}", i);
        documents[sensorTopic(object)] = core::dumpCompact(config);
    }
    if (withButton) {
        auto config = document("stop_all", "Stop all motion");
        config["command_topic"] = topics.abortAll();
        config["payload_press"] = "stop";
        documents[fmt::format("{0}/button/{1}/stop_all/config", kDiscoveryPrefix, node)] =
            core::dumpCompact(config);
    }
    return documents;
}

std::string discoveryShape(const json& status) {
    std::string shape;
    if (!status.is_object()) {
        return shape;
    }
    if (const auto readings = status.find("readings");
        readings != status.end() && readings->is_object()) {
        for (const auto& [key, value] : readings->items()) {
            shape += key + ",";
        }
    }
    shape += ";";
    if (const auto devices = status.find("deviceInfo");
        devices != status.end() && devices->is_array()) {
        for (const auto& device : *devices) {
            shape += typeOf(device, "?") + ",";
        }
    }
    return shape;
}

}  // namespace kinetra::mqtt
