// The web application launcher: starts the separate web server program in www/, ties its life to
// the server's, and tells the user when it could not bind its port. The watch runs on the
// launcher's own thread; the owner (the gateway Server) starts it and joins it.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "config/server_settings.hpp"
#include "platform/child_process.hpp"
#include "platform/service_thread.hpp"

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
    /// started logs "CreateProcess failed, error code: {0}." with its error number.
    WebApplicationLauncher(const config::ServerSettings& settings,
                           WebApplicationOptions options = {});
    /// Ends the web application if it still runs and joins the watch thread.
    ~WebApplicationLauncher();
    WebApplicationLauncher(const WebApplicationLauncher&) = delete;
    WebApplicationLauncher& operator=(const WebApplicationLauncher&) = delete;

private:
    void watch(platform::ChildProcess& child);
    void reportBindFailure();

    const std::string port_;
    const WebApplicationOptions options_;
    std::optional<platform::ChildProcess> child_;  // the watcher's; the destructor's once joined
    platform::ServiceThread watcher_;  // last: joined before the members it uses go; its stop
                                       // signal ends every wait of the watch
};

}  // namespace kinetra::gateway
