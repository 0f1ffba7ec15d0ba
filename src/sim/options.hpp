// The command line of kinetra-sim: which link module to emulate and with which devices. Pure;
// run once by the program's main thread.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sim/link_config.hpp"

namespace kinetra::sim {

/// A server's HTTP address: an IPv4 address (or "localhost") and a port.
struct ServerAddress {
    std::string host;
    std::uint16_t port = 0;
};

/// Reads "http://HOST:PORT" (the scheme and a trailing "/" may be left out); nothing when it is
/// not of that form.
std::optional<ServerAddress> parseServerAddress(std::string_view text);

/// Devices separated by ';', each as --device takes it.
std::optional<std::vector<DeviceConfig>> parseDeviceList(std::string_view text, std::string& error);

struct ProgramOptions {
    LinkConfig config;
    Faults faults;
    /// The server to announce the link to (device_found at start, device_disconnected at the
    /// end), from --server http://HOST:PORT.
    std::optional<ServerAddress> server;
    bool help = false;
};

/// The options, or the reason they cannot be used.
struct ParsedOptions {
    std::optional<ProgramOptions> options;
    std::string error;
};

/// Reads the arguments after the program name.
ParsedOptions parseOptions(std::span<const std::string_view> arguments);

/// A device as given to --device: a model name, then comma-separated key=value settings.
std::optional<DeviceConfig> parseDevice(std::string_view text, std::size_t index,
                                        std::string& error);

/// The text --help prints.
std::string_view usage();

}  // namespace kinetra::sim
