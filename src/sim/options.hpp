// The command line of kinetra-sim: which link module to emulate and with which devices. Pure;
// run once by the program's main thread.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "sim/link_config.hpp"

namespace kinetra::sim {

struct ProgramOptions {
    LinkConfig config;
    Faults faults;
    /// The HTTP port of a server on this machine to announce the link to (device_found at
    /// start, device_disconnected at the end).
    std::optional<std::uint16_t> registerPort;
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
