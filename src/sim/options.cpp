// Reading kinetra-sim's command line. Runs on the program's main thread.
#include "sim/options.hpp"

#include <charconv>
#include <limits>

#include "link/pairing_codec.hpp"

namespace kinetra::sim {
namespace {

constexpr std::string_view kUsage = R"(Usage: kinetra-sim [options]

Emulates one link module on a pseudo-terminal. The first line written to standard output is the
path of the terminal: give it to the server as the link's port. Runs until SIGINT or SIGTERM and
logs every command and device message it receives. SIGUSR1 makes it go silent, and the next one
makes it talk again (kill -USR1 PID), as a link whose cable is pulled and plugged back.

Options:
  --link-type NAME         linkAdapter (default) or stopMotionModule
  --link-id TEXT           the link's name in the log (default KSIM0001)
  --controller-version N   the adapter's controller firmware, 0-255 (default 4; below 2 the
                           server requires an update, below 4 it offers one)
  --radio-version N        the adapter's radio firmware, 0-255 (default 1; 0 requires an update)
  --device SPEC            a device behind the link; repeat for more, the primary first. The
                           first --device replaces the default devices (a turretAlpha2 head with
                           firmware 102 on a glideTrack slider; a stop-motion module is a head).
                           SPEC is a model name followed by comma-separated settings:
                             firmware=N   controller firmware version, 0-65535
                             radio=N      radio firmware version, 0-255
                             mac=AA:BB:CC:DD:EE:FF
                             setup=NAME   the setup its scan entry reports (panTilt, slideOnly..)
                             rssi=N       signal strength, -128 to 127
                             group=N      radio group id, 0-65535 (0x.. for hexadecimal)
                             battery=N    battery level in percent, 0-100
                             axes=N       the axis slots it drives as a bit set (default: by model)
                             tilted       a turretGamma mounted tilted
                           for example: --device turretAlpha2,firmware=102,battery=90
  --keypose-slots N        3 or 6 (default 6; 3 for a stop-motion module)
  --pairing-ms N           how long pairing takes, in milliseconds (default 1000)
  --pair-error NAME        wireless pairing ends in "problem" with this error (wifiChannelMismatch,
                           impossibleScenario, deviceSearchProblem, connectionProblem, ...)
  --canbus-pair-error NAME CAN bus pairing falls back to "idle" with this error
  --reply-delay-ms N       hold every reply, device answer and acknowledgement back N ms
                           (0-60000)
  --drop-every N           lose every Nth reply, device answer and acknowledgement (N from 1;
                           a lost acknowledgement leaves the acknowledge byte unchanged)
  --noise                  put bursts of random bytes between frames and now and then a copy of
                           a frame with a wrong sum on the line; a host must drop both
  --silent                 send nothing at all (no replies, no status messages) while still
                           taking every command; SIGUSR1 ends and starts silence again
  --server URL             announce the link to the server at URL (for example
                           http://127.0.0.1:32222): it opens the link as if its scanner had
                           found it, and forgets it when kinetra-sim ends (a server
                           still starting is asked again for up to 20 s)
  --help                   this text
)";

// A reply held back longer than this is as good as lost; the limit keeps a typo from stalling
// every exchange for hours.
constexpr std::int32_t kLongestReplyDelay = 60'000;

template <typename T>
std::optional<T> number(std::string_view text) {
    long long value = 0;
    int base = 10;
    if (text.starts_with("0x") || text.starts_with("0X")) {
        text.remove_prefix(2);
        base = 16;
    }
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (error != std::errc{} || end != text.data() + text.size() || text.empty() ||
        value < std::numeric_limits<T>::min() || value > std::numeric_limits<T>::max()) {
        return std::nullopt;
    }
    return static_cast<T>(value);
}

bool setDeviceKey(DeviceConfig& device, std::string_view key, std::string_view value) {
    if (key == "firmware") {
        const auto v = number<std::uint16_t>(value);
        return v && (device.firmwareVersion = *v, true);
    }
    if (key == "radio") {
        const auto v = number<std::uint8_t>(value);
        return v && (device.radioVersion = *v, true);
    }
    if (key == "mac") {
        const auto mac = link::parseAttachMac(value);
        return mac && (device.mac = *mac, true);
    }
    if (key == "setup") {
        const auto setup = model::kSetupKindTable.find(value);
        return setup && (device.setup = *setup, true);
    }
    if (key == "rssi") {
        const auto v = number<std::int8_t>(value);
        return v && (device.rssi = *v, true);
    }
    if (key == "group") {
        const auto v = number<std::uint16_t>(value);
        return v && (device.groupId = *v, true);
    }
    if (key == "battery") {
        const auto v = number<std::uint8_t>(value);
        return v && *v <= 100 && (device.batteryPercent = *v, true);
    }
    if (key == "axes") {
        const auto v = number<std::uint8_t>(value);
        return v && (device.axes = *v, true);
    }
    return false;
}

}  // namespace

std::optional<ServerAddress> parseServerAddress(std::string_view text) {
    if (text.starts_with("http://")) {
        text.remove_prefix(7);
    }
    if (text.ends_with('/')) {
        text.remove_suffix(1);
    }
    const auto colon = text.rfind(':');
    if (colon == std::string_view::npos || colon == 0) {
        return std::nullopt;
    }
    const auto port = number<std::uint16_t>(text.substr(colon + 1));
    if (!port || *port == 0) {
        return std::nullopt;
    }
    std::string host(text.substr(0, colon));
    if (host == "localhost") {
        host = "127.0.0.1";
    }
    return ServerAddress{std::move(host), *port};
}

std::optional<std::vector<DeviceConfig>> parseDeviceList(std::string_view text,
                                                         std::string& error) {
    std::vector<DeviceConfig> devices;
    while (!text.empty()) {
        const auto end = text.find(';');
        auto device = parseDevice(text.substr(0, end), devices.size(), error);
        if (!device) {
            return std::nullopt;
        }
        devices.push_back(*device);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    }
    if (devices.empty()) {
        error = "no device given";
        return std::nullopt;
    }
    return devices;
}

std::string_view usage() {
    return kUsage;
}

std::optional<DeviceConfig> parseDevice(std::string_view text, std::size_t index,
                                        std::string& error) {
    const auto comma = text.find(',');
    const auto modelName = text.substr(0, comma);
    const auto model = model::kDeviceModelTable.find(modelName);
    if (!model) {
        error = "unknown device model '" + std::string(modelName) + "'";
        return std::nullopt;
    }
    DeviceConfig device;
    device.model = *model;
    device.mac[5] = static_cast<std::uint8_t>(index + 1);  // distinct unless given
    auto rest = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
    while (!rest.empty()) {
        const auto next = rest.find(',');
        const auto setting = rest.substr(0, next);
        rest = next == std::string_view::npos ? std::string_view{} : rest.substr(next + 1);
        if (setting == "tilted") {
            device.tilted = true;
            continue;
        }
        const auto equals = setting.find('=');
        if (equals == std::string_view::npos ||
            !setDeviceKey(device, setting.substr(0, equals), setting.substr(equals + 1))) {
            error = "bad device setting '" + std::string(setting) + "'";
            return std::nullopt;
        }
    }
    return device;
}

ParsedOptions parseOptions(std::span<const std::string_view> arguments) {
    ProgramOptions options;
    // Read first, applied at the end: the link type chooses the defaults the others change.
    std::optional<model::LinkType> linkType;
    std::optional<std::string> linkID;
    std::optional<std::uint8_t> controllerVersion;
    std::optional<std::uint8_t> radioVersion;
    std::optional<std::uint8_t> slots;
    std::optional<Milliseconds> pairingTime;
    std::vector<DeviceConfig> devices;
    const auto failed = [](std::string error) {
        return ParsedOptions{std::nullopt, std::move(error)};
    };

    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const auto option = arguments[i];
        if (option == "--help" || option == "-h") {
            options.help = true;
            continue;
        }
        if (option == "--noise") {
            options.faults.noise = true;
            continue;
        }
        if (option == "--silent") {
            options.faults.silent = true;
            continue;
        }
        if (!option.starts_with("--")) {
            return failed("unknown argument '" + std::string(option) + "'");
        }
        if (i + 1 >= arguments.size()) {
            return failed("option " + std::string(option) + " needs a value");
        }
        const auto value = arguments[++i];
        const auto bad = [&] {
            return failed("bad value '" + std::string(value) + "' for " + std::string(option));
        };
        if (option == "--link-type") {
            if (!(linkType = model::kLinkTypeTable.find(value))) {
                return bad();
            }
        } else if (option == "--link-id") {
            linkID = std::string(value);
        } else if (option == "--controller-version") {
            if (!(controllerVersion = number<std::uint8_t>(value))) {
                return bad();
            }
        } else if (option == "--radio-version") {
            if (!(radioVersion = number<std::uint8_t>(value))) {
                return bad();
            }
        } else if (option == "--device") {
            std::string error;
            auto device = parseDevice(value, devices.size(), error);
            if (!device) {
                return failed(error);
            }
            devices.push_back(*device);
        } else if (option == "--keypose-slots") {
            slots = number<std::uint8_t>(value);
            if (!slots || (*slots != 3 && *slots != 6)) {
                return bad();
            }
        } else if (option == "--pairing-ms") {
            const auto v = number<std::int32_t>(value);
            if (!v || *v < 0) {
                return bad();
            }
            pairingTime = Milliseconds(*v);
        } else if (option == "--reply-delay-ms") {
            const auto v = number<std::int32_t>(value);
            if (!v || *v < 0 || *v > kLongestReplyDelay) {
                return bad();
            }
            options.faults.replyDelay = Milliseconds(*v);
        } else if (option == "--drop-every") {
            const auto v = number<std::uint32_t>(value);
            if (!v || *v == 0) {
                return bad();
            }
            options.faults.dropEveryNthReply = *v;
        } else if (option == "--server") {
            if (!(options.server = parseServerAddress(value))) {
                return bad();
            }
        } else if (option == "--pair-error") {
            if (!(options.faults.wirelessPairError = link::kWirelessPairErrorTable.find(value))) {
                return bad();
            }
        } else if (option == "--canbus-pair-error") {
            if (!(options.faults.canbusPairError = link::kCanbusPairErrorTable.find(value))) {
                return bad();
            }
        } else {
            return failed("unknown option '" + std::string(option) + "'");
        }
    }

    auto& config = options.config;
    if (linkType == model::LinkType::stopMotionModule) {
        config = defaultModuleConfig();
    }
    config.logTraffic = true;
    config.linkID = linkID.value_or(config.linkID);
    config.controllerVersion = controllerVersion.value_or(config.controllerVersion);
    config.radioVersion = radioVersion.value_or(config.radioVersion);
    config.keyposeSlots = slots.value_or(config.keyposeSlots);
    config.timings.pairingTime = pairingTime.value_or(config.timings.pairingTime);
    if (!devices.empty()) {
        config.devices = std::move(devices);
    }
    return {std::move(options), {}};
}

}  // namespace kinetra::sim
