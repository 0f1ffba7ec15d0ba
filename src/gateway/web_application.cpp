// The launcher's watch thread: waits on the child's exit (waking at once when it ends, looking
// again at least every second) until the child ends or the launcher is destroyed.
#include "gateway/web_application.hpp"

#include <array>

#include <spdlog/spdlog.h>

#include "core/version.hpp"
#include "gateway/gateway_texts.hpp"
#include "notify/notification_handler.hpp"
#include "webserver/exit_status.hpp"

namespace kinetra::gateway {
namespace {

constexpr std::chrono::milliseconds kWatchInterval{1000};
// How long a killed child may take to be reaped at shutdown.
constexpr std::chrono::milliseconds kReapBound{2000};

}  // namespace

std::string webApplicationAddress(const config::ServerSettings& settings) {
    // The browser runs on this machine; a web server bound to every address (or to loopback)
    // is reached on loopback, one bound to a single other address only there.
    const bool loopback = settings.webAddress == "0.0.0.0" || settings.webAddress.empty() ||
                          settings.webAddress.starts_with("127.");
    const std::string host = loopback ? "127.0.0.1" : settings.webAddress;
    return "http://" + host + ":" + settings.webPort + "/?port=" + settings.httpPort +
           "&version=" + std::string(core::kVersionText);
}

WebApplicationLauncher::WebApplicationLauncher(const config::ServerSettings& settings,
                                               WebApplicationOptions options)
    : port_(settings.webPort), options_(std::move(options)) {
    const std::array<std::string, 2> arguments{settings.webAddress, settings.webPort};
    auto started = platform::ChildProcess::start(
        options_.executable, arguments, options_.workingDirectory, {.endWithParent = true});
    if (!started.child) {
        spdlog::info("CreateProcess failed, error code: {0}.", started.error);
        return;
    }
    child_ = std::move(started.child);
    watcher_.start({.name = "webapp-watch", .service = "Web application watch"},
                   [this](std::stop_token) { watch(*child_); });
}

WebApplicationLauncher::~WebApplicationLauncher() {
    watcher_.stop();
    // The server ends: so does the web application, reaped so no zombie is left. (Done here,
    // not by the watch, so that it happens even when the watch has ended.)
    if (child_) {
        child_->kill();
        child_->waitForExit(kReapBound);
    }
}

void WebApplicationLauncher::watch(platform::ChildProcess& child) {
    for (;;) {
        platform::faultPoint();
        switch (child.waitForExit(kWatchInterval, &watcher_.stopSignal())) {
            case platform::ChildWait::running:
                continue;
            case platform::ChildWait::exited:
                if (child.exitCode() == webserver::kBindFailureExitStatus) {
                    reportBindFailure();
                }
                return;
            case platform::ChildWait::stopped:
                return;
            case platform::ChildWait::failed:
                spdlog::warn("Could not watch the web application (process {0}).", child.pid());
                child.kill();
                return;
        }
    }
}

void WebApplicationLauncher::reportBindFailure() {
    notify::ask(kWebBindErrorText, port_, std::string(kOpenConfigurationQuestion), {"Yes", "Exit"});
    watcher_.stopSignal().waitFor(options_.warningDelay);
    spdlog::warn("Web server could not bind to {0}.", port_);
}

}  // namespace kinetra::gateway
