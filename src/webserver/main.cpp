// kinetra_sdk_webserver ADDRESS PORT: serves the browser application from its working directory
// (the installation's www/) until SIGINT or SIGTERM. The server's launcher starts it there and
// reads a bind failure from its exit status.
#include <csignal>

#include <charconv>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>

#include <spdlog/spdlog.h>

#include "core/json.hpp"
#include "core/logging.hpp"
#include "net/open_door.hpp"
#include "platform/process.hpp"
#include "platform/thread_name.hpp"
#include "settings/ini_reader.hpp"
#include "settings/security_settings.hpp"
#include "settings/server_settings.hpp"
#include "webserver/exit_status.hpp"
#include "webserver/web_server.hpp"

namespace {

using namespace kinetra;

// A port as decimal digits only, 0 to 65535.
std::optional<std::uint16_t> portNumber(std::string_view text) {
    std::uint16_t port = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), port);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return port;
}

// The installation's config.ini (../cfg/ from www/, where the server starts this program) as
// parsed sections; null when there is none.
json readConfiguration() {
    std::ifstream file("../cfg/config.ini", std::ios::binary);
    if (!file) {
        return nullptr;
    }
    const std::string text((std::istreambuf_iterator<char>(file)),
                           std::istreambuf_iterator<char>());
    return config::parseIni(text);
}

// The server's warning when its API listeners reach beyond this machine without a key, read
// from the same file it reads (the server itself logs the gaps of a broken one).
std::string apiWarning(const json& configuration, const config::SecuritySettings& security) {
    const config::ServerSettings defaults;
    const auto listener = [&](const char* section, const std::string& address,
                              const std::string& port) {
        const json& values = configuration.is_object() && configuration.contains(section)
                                 ? configuration[section]
                                 : json();
        const auto text = [&](const char* key, const std::string& fallback) {
            return values.is_object() && values.contains(key) && values[key].is_string()
                       ? values[key].get<std::string>()
                       : fallback;
        };
        return net::ListenAddress{text("address", address),
                                  config::portNumber(text("port", port)).value_or(0)};
    };
    return net::openDoorWarning(
        {listener("httpserver", defaults.httpAddress, defaults.httpPort),
         listener("websocket", defaults.webSocketAddress, defaults.webSocketPort)},
        !security.apiKey.empty());
}

}  // namespace

int main(int argc, char** argv) {
    using namespace kinetra;
    // Blocked before the worker threads exist, so only sigwait below takes them.
    const sigset_t signals = platform::blockShutdownSignals();

    core::initLogging([] { platform::nameThisThread("log"); });
    const auto port = argc == 3 ? portNumber(argv[2]) : std::nullopt;
    if (!port) {
        spdlog::error("usage: kinetra_sdk_webserver ADDRESS PORT");
        return webserver::kUsageExitStatus;
    }
    const std::string address = argv[1];
    try {
        const json configuration = readConfiguration();
        const auto security = config::readSecuritySettings(configuration);
        std::chrono::seconds keepAlive = config::ServerSettings{}.keepAlive;
        config::readKeepAlive(configuration, keepAlive);
        webserver::WebServer server(std::filesystem::current_path(), security,
                                    apiWarning(configuration, security), keepAlive);
        try {
            server.start(address, *port);
        } catch (const std::exception& error) {
            spdlog::error("Could not bind to {0}:{1}: {2}", address, argv[2], error.what());
            return webserver::kBindFailureExitStatus;
        }
        spdlog::info("Listening on {0}:{1}.", address, server.port());
        int received = 0;
        while (sigwait(&signals, &received) != 0) {
        }
    } catch (const std::exception& error) {
        spdlog::error("{0}", error.what());
        return 1;
    }
    return 0;
}
