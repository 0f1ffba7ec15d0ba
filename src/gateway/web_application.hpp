// The web application launcher: starts the separate web server program in www/, ties its life to
// the server's, and tells the user when it could not bind its port. The watch runs on the
// launcher's own thread; the owner (the gateway Server) starts it and joins it.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "platform/child_watch.hpp"
#include "settings/server_settings.hpp"

namespace kinetra::gateway {

/// Where the web application is and how long its launcher waits.
struct WebApplicationOptions {
    /// Resolved against the server's working directory.
    std::string executable = "../www/kinetra_sdk_webserver";
    std::string workingDirectory = "../www/";
    /// Between the bind-failure question and its warning line.
    std::chrono::milliseconds warningDelay{1000};
};

/// The bind-failure question's first line.
inline constexpr const char* kWebBindErrorText = "Web server could not bind to port. ";

/// The browser address of the web application: its port on this machine, with the HTTP
/// listener's port and the version in the query.
std::string webApplicationAddress(const config::ServerSettings& settings);

class WebApplicationLauncher {
public:
    /// Starts the web application with the web-application address and port as its two
    /// arguments, and a thread that watches it. The child is ended (SIGKILL) when this
    /// object goes, and by the kernel when the server process dies. A program that cannot be
    /// started is logged with its reason.
    WebApplicationLauncher(const config::ServerSettings& settings,
                           WebApplicationOptions options = {});
    WebApplicationLauncher(const WebApplicationLauncher&) = delete;
    WebApplicationLauncher& operator=(const WebApplicationLauncher&) = delete;

private:
    void reportBindFailure(const platform::StopSignal& stop);

    const std::string port_;
    const WebApplicationOptions options_;
    platform::ChildWatch child_;  // last: ended and joined before the members it uses go
};

}  // namespace kinetra::gateway
