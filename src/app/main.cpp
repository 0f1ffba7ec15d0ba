// kinetra-server: single instance, start-up order, the tray on the main thread, and the orderly
// shutdown when the tray's Exit, SIGINT or SIGTERM ends it. Services run on their own threads.
#include <unistd.h>

#include <csignal>
#include <cstdio>

#include <spdlog/spdlog.h>
#include <zmq.hpp>

#include "app/command_line.hpp"
#include "app/install_layout.hpp"
#include "app/instance_lock.hpp"
#include "app/shutdown_signals.hpp"
#include "app/simulation.hpp"
#include "bus/endpoints.hpp"
#include "config/configuration_controller.hpp"
#include "core/logging.hpp"
#include "core/version.hpp"
#include "device/device_service.hpp"
#include "gateway/server.hpp"
#include "mqtt/mqtt_service.hpp"
#include "notify/notification_handler.hpp"
#include "platform/process.hpp"
#include "platform/service_thread.hpp"
#include "platform/shell.hpp"
#include "platform/thread_name.hpp"
#include "studio/studio_service.hpp"
#include "tray/console_questions.hpp"
#include "tray/desktop_notifications.hpp"
#include "tray/tray_application.hpp"

namespace {

using namespace kinetra;

void logVersions() {
    spdlog::info("revision: {0}", core::kRevision);
    spdlog::info("version: {0}.{1}.{2}", core::kVersionMajor, core::kVersionMinor,
                 core::kVersionPatch);
    const auto [major, minor, patch] = zmq::version();
    spdlog::info("ZeroMQ version is: {0}.{1}.{2}", major, minor, patch);
}

// The question's answers end the process through the same orderly shutdown as SIGTERM, so the
// lock file is cleaned up and every service thread is joined.
void installNotificationActions() {
    notify::setActions({
        [] { platform::openInEditor(notify::kConfigurationFile); },
        [](int /*exitCode*/) { ::kill(::getpid(), SIGTERM); },
    });
}

// Notifications go to the desktop's notification server when one answers; otherwise, with a
// terminal on standard input, questions are put on the console to be answered at the tray's
// prompt. Installed before the services, whose first notifications come during start-up.
std::shared_ptr<notify::NotificationBackend> chooseNotifications(
    const std::shared_ptr<tray::ConsoleQuestions>& console) {
    if (auto desktop = tray::makeDesktopNotifications()) {
        return desktop;
    }
    if (::isatty(STDIN_FILENO) == 1) {
        return std::make_shared<tray::ConsoleNotificationBackend>(console);
    }
    return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    // Blocked before any thread exists, so every thread inherits the mask and the shutdown
    // signals are only read by the ShutdownSignals thread.
    const sigset_t signals = platform::blockShutdownSignals();
    // The console tray reads the terminal; started in the background, a read would stop the
    // whole server with SIGTTIN. Ignored, the read fails instead and the tray stops reading.
    std::signal(SIGTTIN, SIG_IGN);

    app::InstanceLock lock(app::InstanceLock::defaultPath(), app::systemInstanceProbe());
    const int pid = platform::currentProcessId();
    if (!lock.acquire(pid)) {
        return 0;  // another instance runs: leave silently
    }
    platform::seam::hideConsoleWindow();
    platform::seam::raiseTimerResolution();
    core::initLogging([] { platform::nameThisThread("log"); });
    if (app::enterInstallLayout()) {
        spdlog::info("Working directory set to the program's directory.");
    }
    logVersions();
    installNotificationActions();
    // A service whose thread gave up after a failure is named to the user; the rest serves on.
    platform::setServiceEndNotice([](const std::string& text) { notify::notify(text); });
    const auto console = std::make_shared<tray::ConsoleQuestions>(STDOUT_FILENO);
    auto notifications = chooseNotifications(console);
    if (notifications) {
        notify::setBackend(notifications);
    }

    {
        // Destroyed in reverse order of construction: tray, devices, MQTT, studio, gateway,
        // emulator, configuration.
        config::ConfigurationController configuration("../cfg/");
        // The emulated adapter outlives the device service, whose link closes its port first.
        const auto simulation = app::simulationArgument(argc, argv);
        const auto emulator = simulation ? app::startEmulator(*simulation) : nullptr;
        gateway::Server server{std::string(bus::kConfigurationEndpoint)};
        server.launchWebApplication();
        server.start();
        // Subscribed to the feed before the device service publishes its first link list, and
        // asked for studioStatus by it, so it outlives it.
        studio::StudioService studio{std::string(bus::kConfigurationEndpoint)};
        // Follows the link list and the status feed like the studio, and reaches the services
        // through a bus route of its own; its state joins studioStatus here, so neither the
        // studio nor the device service knows of it.
        mqtt::MqttService broker{std::string(bus::kConfigurationEndpoint)};
        device::DeviceServiceOptions deviceOptions;
        deviceOptions.studioStatus = [&studio, &broker] {
            json status = studio.status();
            status["mqtt"] = broker.status();
            return status;
        };
        device::DeviceService devices{std::string(bus::kConfigurationEndpoint),
                                      std::move(deviceOptions)};
        if (emulator) {
            app::announceEmulator(*emulator);
        }
        tray::TrayOptions trayOptions;
        trayOptions.console = console;
        tray::TrayApplication tray{std::string(bus::kConfigurationEndpoint), trayOptions};
        if (tray.usesDesktop() && notifications != nullptr &&
            std::dynamic_pointer_cast<tray::ConsoleNotificationBackend>(notifications)) {
            // Nobody reads the console while the desktop tray runs: questions are logged.
            notify::setBackend(std::make_shared<notify::LogBackend>());
        }
        {
            // Exists before the three-second wait of --open-web, so a signal then still ends
            // the tray's loop at once (exit before run makes run return).
            app::ShutdownSignals shutdownSignals(signals, [&tray] { tray.exit(); });
            if (app::wantsOpenWeb(argc, argv)) {
                server.openWebApplication();  // about three seconds after start
            }
            tray.run();
        }
        spdlog::info("Shutting down.");
        lock.release(pid);
    }
    if (notifications) {
        // Every service that could notify is gone; the desktop back-end's loop thread ends here.
        notify::setBackend(std::make_shared<notify::LogBackend>());
        notifications.reset();
    }
    // The last lines out before the process goes (bounded, should nobody read them).
    core::shutdownLogging();
    return 0;
}
