// The tray's menu: its entries in order, the addresses they open and the command lines they
// run. Pure: builds entries whose actions go through an injected launcher. Tray thread.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "settings/server_settings.hpp"
#include "tray/tray_entry.hpp"

namespace kinetra::tray {

/// The maker's download page for the SDK; the running version is appended.
inline constexpr std::string_view kSdkUpdatePage =
    "https://kinetra.io/downloads/sdk?current_version=";

/// A program and its arguments, run without a shell.
using CommandLine = std::vector<std::string>;
/// Starts a command line without waiting for it.
using Launcher = std::function<void(const CommandLine&)>;

/// What the menu opens on this machine besides web addresses.
struct MenuPaths {
    std::string examplesFolder;     // absolute path of the installed examples/
    std::string configurationFile;  // absolute path of ../cfg/config.ini
};

/// "http://<host>:<web port>": loopback unless the web application listens on one other
/// address only, where loopback would not reach it.
std::string webAppBase(const config::ServerSettings& settings);
/// The web application with the HTTP port and version it needs to talk to this server.
std::string webAppUrl(const config::ServerSettings& settings);
std::string documentationUrl(const config::ServerSettings& settings);
std::string firmwareUpdateUrl(const config::ServerSettings& settings);
std::string sdkUpdateUrl();

/// Appends the menu to `tray`: "Stop all motion" (which calls `stopAllMotion`), label, web app,
/// examples, documentation, configuration, the "Utilities" submenu with the two update pages,
/// and "Exit" (which calls tray.exit()).
void buildMenu(BaseTray& tray, const config::ServerSettings& settings, const MenuPaths& paths,
               Launcher launcher, std::function<void()> stopAllMotion);

}  // namespace kinetra::tray
