// The [freed], [osc], [visca] and [security] settings the studio outputs run with, read from the
// configuration service's "server" section (config.ini's sections, keys in lower case). Pure.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/json.hpp"

namespace kinetra::studio {

/// A UDP destination as written in the configuration: "host:port" or "[v6 address]:port".
struct HostPort {
    std::string host;
    std::uint16_t port = 0;
    std::string text() const;
};

/// VISCA over IP in: one UDP port per link, each a camera to its controllers.
struct ViscaSettings {
    std::string address = "0.0.0.0";
    std::vector<std::pair<std::string, std::uint16_t>> ports;  // link id, port; empty: off
    /// The angle of one pan/tilt position unit (positions travel as signed 16-bit numbers).
    double panTiltUnitDegrees = 0.01;
    /// A drive whose controller sends nothing this long is stopped by the server.
    std::chrono::milliseconds driveTimeout{1000};
};

struct StudioSettings {
    std::vector<HostPort> freedTargets;             // empty: no FreeD output
    int freedRate = 50;                             // packets per second
    std::map<std::string, std::uint8_t> cameraIds;  // link id (lower case) -> camera id
    std::string oscAddress = "0.0.0.0";
    std::uint16_t oscPort = 0;  // 0: no OSC input
    std::optional<HostPort> oscFeedback;
    ViscaSettings visca;
    /// [security] trustedNetworks as written (CIDR list); empty when not configured.
    std::string trustedNetworks;
};

inline constexpr int kLowestFreedRate = 1;
inline constexpr int kHighestFreedRate = 240;
inline constexpr double kSmallestPanTiltUnit = 0.0001;
inline constexpr double kLargestPanTiltUnit = 1.0;
inline constexpr std::chrono::milliseconds kShortestDriveTimeout{200};
inline constexpr std::chrono::milliseconds kLongestDriveTimeout{10000};

/// "host:port" or "[v6]:port"; nothing when it is not one.
std::optional<HostPort> parseHostPort(std::string_view text);

/// Reads `server` (the configuration's "server" reply). A missing value takes its default
/// silently (the studio outputs are optional); a value that cannot be used takes its default
/// with one warning naming it.
StudioSettings readStudioSettings(const json& server);

}  // namespace kinetra::studio
