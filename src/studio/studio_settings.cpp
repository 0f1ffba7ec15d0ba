#include "studio/studio_settings.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>

#include <spdlog/spdlog.h>

#include "settings/value_text.hpp"

namespace kinetra::studio {
namespace {

constexpr std::string_view kCameraPrefix = "camera.";

template <typename T>
std::optional<T> number(std::string_view text, T low, T high) {
    text = config::trim(text);
    long long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < low ||
        value > high) {
        return std::nullopt;
    }
    return static_cast<T>(value);
}

// The text of [section] key, when the file has it.
std::optional<std::string> text(const json& server, const char* section, const char* key) {
    if (!server.is_object() || !server.contains(section) || !server[section].is_object()) {
        return std::nullopt;
    }
    const auto& values = server[section];
    if (!values.contains(key) || !values[key].is_string()) {
        return std::nullopt;
    }
    return values[key].get<std::string>();
}

void unusable(const char* section, const std::string& key, const std::string& value,
              const std::string& fallback) {
    spdlog::warn("Configuration value {0}.{1} = \"{2}\" is unusable; using {3}.", section, key,
                 value, fallback);
}

std::optional<double> decimal(std::string_view text, double low, double high) {
    text = config::trim(text);
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() ||
        !(value >= low && value <= high)) {
        return std::nullopt;
    }
    return value;
}

// [visca]: "ports" pairs a link id with a port ("KSIM0001:52381, KSIM0002:52382"); a link or a
// port named twice keeps its first pairing.
void readVisca(const json& server, ViscaSettings& visca) {
    if (const auto address = text(server, "visca", "address")) {
        visca.address = std::string(config::trim(*address));
    }
    if (const auto ports = text(server, "visca", "ports")) {
        for (const auto& item : config::splitList(*ports)) {
            const auto colon = item.rfind(':');
            const auto port = colon == std::string::npos
                                  ? std::nullopt
                                  : number<unsigned>(item.substr(colon + 1), 1, 65535);
            const auto linkId = colon == std::string::npos
                                    ? std::string()
                                    : std::string(config::trim(item.substr(0, colon)));
            const bool taken = std::any_of(
                visca.ports.begin(), visca.ports.end(),
                [&](const auto& p) { return p.first == linkId || (port && p.second == *port); });
            if (!port || linkId.empty() || taken) {
                unusable("visca", "ports", item, "no port for it");
                continue;
            }
            visca.ports.emplace_back(linkId, static_cast<std::uint16_t>(*port));
        }
    }
    if (const auto unit = text(server, "visca", "pantiltunitdegrees")) {
        if (const auto value = decimal(*unit, kSmallestPanTiltUnit, kLargestPanTiltUnit)) {
            visca.panTiltUnitDegrees = *value;
        } else {
            unusable("visca", "panTiltUnitDegrees", *unit,
                     fmt::format("{0}", visca.panTiltUnitDegrees));
        }
    }
    if (const auto timeout = text(server, "visca", "drivetimeout")) {
        const auto seconds = decimal(*timeout, kShortestDriveTimeout.count() / 1000.0,
                                     kLongestDriveTimeout.count() / 1000.0);
        if (seconds) {
            visca.driveTimeout = std::chrono::milliseconds(std::lround(*seconds * 1000));
        } else {
            unusable("visca", "driveTimeout", *timeout,
                     fmt::format("{0} s", visca.driveTimeout.count() / 1000.0));
        }
    }
}

}  // namespace

std::string HostPort::text() const {
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::optional<HostPort> parseHostPort(std::string_view text) {
    text = config::trim(text);
    std::string_view host;
    std::string_view port;
    if (text.starts_with('[')) {
        const auto close = text.find("]:");
        if (close == std::string_view::npos) {
            return std::nullopt;
        }
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else {
        const auto colon = text.rfind(':');
        if (colon == std::string_view::npos || text.find(':') != colon) {
            return std::nullopt;
        }
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    const auto portNumber = number<unsigned>(port, 1, 65535);
    if (host.empty() || !portNumber) {
        return std::nullopt;
    }
    return HostPort{std::string(host), static_cast<std::uint16_t>(*portNumber)};
}

StudioSettings readStudioSettings(const json& server) {
    StudioSettings settings;
    if (const auto targets = text(server, "freed", "targets")) {
        std::string_view rest = *targets;
        while (!config::trim(rest).empty()) {
            const auto comma = rest.find(',');
            const auto item = config::trim(rest.substr(0, comma));
            rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(comma + 1);
            if (const auto target = parseHostPort(item)) {
                settings.freedTargets.push_back(*target);
            } else {
                unusable("freed", "targets", std::string(item), "no such target");
            }
        }
    }
    if (const auto rate = text(server, "freed", "rate")) {
        if (const auto value = number<int>(*rate, kLowestFreedRate, kHighestFreedRate)) {
            settings.freedRate = *value;
        } else {
            unusable("freed", "rate", *rate, std::to_string(settings.freedRate));
        }
    }
    if (server.is_object() && server.contains("freed") && server["freed"].is_object()) {
        for (const auto& [key, value] : server["freed"].items()) {
            if (!key.starts_with(kCameraPrefix) || !value.is_string()) {
                continue;
            }
            const auto id = number<int>(value.get<std::string>(), 0, 255);
            if (id && key.size() > kCameraPrefix.size()) {
                settings.cameraIds[key.substr(kCameraPrefix.size())] =
                    static_cast<std::uint8_t>(*id);
            } else {
                unusable("freed", key, value.get<std::string>(), "an automatic id");
            }
        }
    }
    if (const auto address = text(server, "osc", "address")) {
        settings.oscAddress = std::string(config::trim(*address));
    }
    if (const auto port = text(server, "osc", "port")) {
        if (const auto value = number<unsigned>(*port, 0, 65535)) {
            settings.oscPort = static_cast<std::uint16_t>(*value);
        } else {
            unusable("osc", "port", *port, "0 (off)");
        }
    }
    if (const auto feedback = text(server, "osc", "feedback");
        feedback && !config::trim(*feedback).empty()) {
        settings.oscFeedback = parseHostPort(*feedback);
        if (!settings.oscFeedback) {
            unusable("osc", "feedback", *feedback, "no feedback");
        }
    }
    readVisca(server, settings.visca);
    if (const auto networks = text(server, "security", "trustednetworks")) {
        settings.trustedNetworks = *networks;
    }
    return settings;
}

}  // namespace kinetra::studio
