// The launcher: the web server program started beside the server, and the user told when it
// could not bind its port (on the child's watch thread).
#include "gateway/web_application.hpp"

#include <array>

#include <spdlog/spdlog.h>

#include "core/version.hpp"
#include "gateway/gateway_texts.hpp"
#include "notify/notification_handler.hpp"
#include "webserver/exit_status.hpp"

namespace kinetra::gateway {

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
    child_.start(options_.executable, arguments, options_.workingDirectory,
                 {.threadName = "webapp-watch",
                  .program = "web application",
                  .child = {.endWithParent = true},
                  .endWithOwner = true},
                 [this](std::optional<int> exitCode, const platform::StopSignal& stop) {
                     if (exitCode == webserver::kBindFailureExitStatus) {
                         reportBindFailure(stop);
                     }
                 });
}

void WebApplicationLauncher::reportBindFailure(const platform::StopSignal& stop) {
    notify::ask(kWebBindErrorText, port_, std::string(kOpenConfigurationQuestion), {"Yes", "Exit"});
    stop.waitFor(options_.warningDelay);
    spdlog::warn("Web server could not bind to {0}.", port_);
}

}  // namespace kinetra::gateway
