// The tray application: asks the configuration service for the server's addresses once, picks
// the desktop or the console tray, and fills its menu. Made and run on the main thread.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "config/configuration_client.hpp"
#include "settings/server_settings.hpp"
#include "tray/console_questions.hpp"
#include "tray/tray_entry.hpp"
#include "tray/tray_menu.hpp"

namespace kinetra::tray {

inline constexpr const char* kTrayIdentifier = "kin_tray";
inline constexpr const char* kTrayIcon = "../res/tray_icon.ico";
/// Desktop hosts want a PNG; preferred when the install has one beside the .ico.
inline constexpr const char* kTrayIconPng = "../res/tray_icon.png";

struct TrayOptions {
    /// Runs the menu's command lines; by default detached, without a shell.
    Launcher launcher;
    /// Bound on the configuration service's reply.
    std::chrono::milliseconds configurationTimeout = config::kConfigurationTimeout;
    /// Folders and files the menu opens; by default the install's, as absolute paths.
    std::optional<MenuPaths> paths;
    /// The console tray's input, and where it prints (standard output when not given).
    int inputFd = 0;
    std::shared_ptr<ConsoleQuestions> console;
    /// Whether a desktop tray may be used when a graphical session is present.
    bool allowDesktop = true;
    /// What "Stop all motion" does; by default motionAbortAll to the device service.
    std::function<void()> stopAllMotion;
};

class TrayApplication {
public:
    /// Asks `configurationEndpoint` for the "server" section (bounded), keeping the default
    /// addresses when it is silent, and builds the tray with its menu.
    explicit TrayApplication(std::string configurationEndpoint, TrayOptions options = {});

    /// Shows the tray and runs its loop until exit(); on the main thread.
    void run() { tray_->run(); }
    /// Ends run(); from any thread, also before run().
    void exit() { tray_->exit(); }

    const config::ServerSettings& settings() const { return settings_; }
    BaseTray& tray() { return *tray_; }
    /// True for the desktop tray, false for the console tray.
    bool usesDesktop() const { return usesDesktop_; }
    /// Whether choices (and answers to questions) can be typed on the console tray.
    bool acceptsAnswers() const { return acceptsAnswers_; }

private:
    std::string configurationEndpoint_;
    config::ServerSettings settings_;  // texts, the configuration's defaults until a reply
    bool usesDesktop_ = false;
    bool acceptsAnswers_ = false;
    std::unique_ptr<BaseTray> tray_;
};

/// The installed examples/ folder and ../cfg/config.ini as absolute paths.
MenuPaths installedPaths();
/// The tray icon: the PNG when present, else the .ico, as an absolute path.
std::string trayIconPath();

}  // namespace kinetra::tray
