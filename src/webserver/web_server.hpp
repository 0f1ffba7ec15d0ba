// The web application's server: one HTTP listener on the network layer serving a folder's files.
// Started and stopped by the program's main thread; requests run on the worker threads.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/log_limiter.hpp"
#include "net/http_session.hpp"
#include "net/listener_builder.hpp"
#include "net/tcp_service.hpp"
#include "net/trust_policy.hpp"
#include "settings/security_settings.hpp"
#include "webserver/static_files.hpp"

namespace kinetra::webserver {

class WebServer {
public:
    /// The page's question whether the API is open to the network without a key: answered
    /// {"warning":TEXT}, TEXT empty when it is not (see net::openDoorWarning).
    static constexpr std::string_view kExposurePath = "/api-exposure.json";

    /// Serves the files below `root` (throws when it does not exist) to requests whose Host
    /// names this machine or one of security.allowedHosts, and `apiWarning` at kExposurePath;
    /// a connection stays open `keepAlive` after an answer for the next request (zero: closed
    /// after every answer). Listens on nothing yet.
    explicit WebServer(
        const std::filesystem::path& root, config::SecuritySettings security = {},
        std::string apiWarning = {},
        std::chrono::milliseconds keepAlive = net::HttpSession::kDefaultKeepAliveTimeout);
    /// Stops listening and joins every thread.
    ~WebServer();
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    /// Listens on the IPv4 `address` and `port` (0: any) with `workers` worker threads. Throws
    /// std::runtime_error when the address cannot be bound. Call once.
    void start(const std::string& address, std::uint16_t port, std::size_t workers = 2);
    /// Stops the listener and the workers. Idempotent.
    void stop();

    /// The bound port; 0 before start().
    std::uint16_t port() const { return listener_.port(); }

private:
    const StaticFiles files_;
    const config::SecuritySettings security_;
    const std::string exposure_;  // the response at kExposurePath
    const std::chrono::milliseconds keepAlive_;
    std::optional<net::TrustPolicy> trust_;  // set by start() before the listener runs
    core::LogLimiter refusalLog_;            // refused requests: one line a second
    std::shared_ptr<net::TcpService> service_ = std::make_shared<net::TcpService>();
    net::ListenerBuilder listener_;  // last: stopped first
};

}  // namespace kinetra::webserver
