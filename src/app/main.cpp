// kinetra-server: single instance, start-up order, and the orderly shutdown on SIGINT/SIGTERM.
// The main thread only starts and stops the long-lived services; they run on their own threads.
#include <csignal>
#include <cstdio>

#include <spdlog/spdlog.h>
#include <zmq.hpp>

#include "app/command_line.hpp"
#include "app/install_layout.hpp"
#include "app/instance_lock.hpp"
#include "app/simulation.hpp"
#include "bus/endpoints.hpp"
#include "config/configuration_controller.hpp"
#include "core/logging.hpp"
#include "core/version.hpp"
#include "discovery/bundle_controller.hpp"
#include "gateway/server.hpp"
#include "notify/notification_handler.hpp"
#include "platform/process.hpp"
#include "platform/shell.hpp"

namespace {

using namespace kinetra;

sigset_t shutdownSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    return signals;
}

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
    notify::NotificationHandler::setActions({
        [] { platform::openInEditor(notify::NotificationHandler::kConfigurationFile); },
        [](int /*exitCode*/) { ::kill(::getpid(), SIGTERM); },
    });
}

}  // namespace

int main(int argc, char** argv) {
    // Blocked before any thread exists, so every thread inherits the mask and only the main
    // thread's sigwait takes the shutdown signals.
    const sigset_t signals = shutdownSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    app::InstanceLock lock(app::InstanceLock::defaultPath(), app::systemInstanceProbe());
    const int pid = platform::currentProcessId();
    if (!lock.acquire(pid)) {
        return 0;  // another instance runs: leave silently
    }
    platform::hideConsoleWindow();
    platform::raiseTimerResolution();
    core::initLogging();
    if (app::enterInstallLayout()) {
        spdlog::info("Working directory set to the program's directory.");
    }
    logVersions();
    installNotificationActions();

    {
        // Destroyed in reverse order of construction: devices, gateway, emulator, configuration.
        config::ConfigurationController configuration("../cfg/");
        // The emulated adapter outlives the device service, whose link closes its port first.
        const auto simulation = app::simulationArgument(argc, argv);
        const auto emulator = simulation ? app::startEmulator(*simulation) : nullptr;
        gateway::Server server{std::string(bus::kConfigurationEndpoint)};
        server.launchWebApplication();
        server.start();
        discovery::BundleController devices{std::string(bus::kConfigurationEndpoint)};
        if (emulator) {
            app::announceEmulator(*emulator);
        }
        if (app::wantsOpenWeb(argc, argv)) {
            server.openWebApplication();  // about three seconds after start
        }

        int received = 0;
        while (sigwait(&signals, &received) != 0) {
        }
        spdlog::info("Shutting down.");
        lock.release(pid);
    }
    return 0;
}
