// Tray start-up on the main thread: one bounded configuration request, then the back-end.
#include "tray/tray_application.hpp"

#include <unistd.h>

#include <filesystem>

#include <spdlog/spdlog.h>

#include "bus/endpoints.hpp"
#include "platform/shell.hpp"
#include "tray/console_tray.hpp"
#include "tray/desktop_tray.hpp"
#include "tray/motion_stop.hpp"

namespace kinetra::tray {
namespace {

std::string absolutePath(const std::string& relative) {
    std::error_code error;
    const auto path = std::filesystem::absolute(relative, error);
    return error ? relative : path.lexically_normal().string();
}

config::ServerSettings askServerSettings(const std::string& endpoint,
                                         std::chrono::milliseconds timeout) {
    const auto reply = config::requestConfigurationSection(endpoint, "server", timeout);
    if (!reply) {
        spdlog::warn("Server configuration could not get from configuration controller.");
        spdlog::info("Server configuration will be iniated with default configuration.");
        return {};
    }
    return config::readServerSettings(*reply);
}

}  // namespace

MenuPaths installedPaths() {
    // The working directory is bin/ of the install (the entry point sees to it), like
    // ../cfg and ../www.
    return {absolutePath("../examples"), absolutePath("../cfg/config.ini")};
}

std::string trayIconPath() {
    std::error_code error;
    return absolutePath(std::filesystem::exists(kTrayIconPng, error) ? kTrayIconPng : kTrayIcon);
}

TrayApplication::TrayApplication(std::string configurationEndpoint, TrayOptions options)
    : configurationEndpoint_(std::move(configurationEndpoint)),
      settings_(askServerSettings(configurationEndpoint_, options.configurationTimeout)) {
    if (options.allowDesktop) {
        tray_ = makeDesktopTray(kTrayIdentifier, trayIconPath());
    }
    usesDesktop_ = tray_ != nullptr;
    if (!tray_) {
        auto questions =
            options.console ? options.console : std::make_shared<ConsoleQuestions>(STDOUT_FILENO);
        auto console = std::make_unique<ConsoleTray>(kTrayIdentifier, trayIconPath(),
                                                     options.inputFd, std::move(questions));
        acceptsAnswers_ = console->interactive();
        tray_ = std::move(console);
    }
    Launcher launcher = options.launcher;
    if (!launcher) {
        launcher = [](const CommandLine& commandLine) { platform::runDetached(commandLine); };
    }
    auto stopAll = options.stopAllMotion;
    if (!stopAll) {
        stopAll = [] { stopAllMotion(bus::kDeviceEndpoint); };
    }
    buildMenu(*tray_, settings_, options.paths ? *options.paths : installedPaths(),
              std::move(launcher), std::move(stopAll));
}

}  // namespace kinetra::tray
