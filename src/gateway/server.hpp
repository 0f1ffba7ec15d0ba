// The gateway Server: the only door from outside into the process. HTTP requests and WebSocket
// messages are forwarded to the bus endpoint "inproc:/" + their path. Started and stopped by
// the entry point's main thread; requests run on the network service's worker threads.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <zmq.hpp>

#include "core/log_limiter.hpp"
#include "gateway/bus_reactor.hpp"
#include "gateway/http_forwarder.hpp"
#include "gateway/jog_guard.hpp"
#include "gateway/loop_routes.hpp"
#include "gateway/metrics.hpp"
#include "gateway/rpc_gateway.hpp"
#include "gateway/web_application.hpp"
#include "gateway/websocket_bridge.hpp"
#include "net/listener_builder.hpp"
#include "net/tcp_service.hpp"
#include "net/trust_policy.hpp"
#include "platform/stop_signal.hpp"
#include "settings/security_settings.hpp"
#include "settings/server_settings.hpp"

namespace kinetra::gateway {

class Server {
public:
    /// Receive limit per connection, in bytes; a larger HTTP request or WebSocket message is
    /// answered {"result":"request too large"} and the connection is closed.
    static constexpr std::size_t kReceiveLimit = 8192;

    /// Reads the "server" section from the configuration service at `configurationEndpoint`
    /// (bounded wait; built-in defaults when it does not answer) and logs the compact
    /// `httpserver` settings. Listens on nothing yet.
    explicit Server(std::string configurationEndpoint);
    /// Uses `settings` and `security` as given (tests and benchmarks).
    explicit Server(config::ServerSettings settings, config::SecuritySettings security = {});
    /// Stops the listeners and the network service; no thread of the Server outlives it.
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    /// Starts the network service with `workers` worker threads, then the HTTP listener, then
    /// the WebSocket listener. When a listener cannot be set up (typically its port is taken),
    /// logs the bind error, raises the question whether to open the configuration, and leaves
    /// the listeners after it unstarted. Call once.
    void start(std::size_t workers = defaultWorkerCount());

    /// Stops the listeners, ends pending waits, closes every connection and joins the workers.
    /// Idempotent; not from a handler (a worker thread).
    void stop();

    /// Starts the web application with this Server's web-application address and port (see
    /// WebApplicationLauncher); it ends when the Server goes. Call once.
    void launchWebApplication(WebApplicationOptions options = {});

    /// Waits `delay` (cut short by stop()), then opens webApplicationAddress() in the browser.
    void openWebApplication(std::chrono::milliseconds delay = std::chrono::seconds(3));

    const config::ServerSettings& settings() const { return settings_; }
    /// The port the HTTP listener was bound to; 0 when it did not start.
    std::uint16_t httpPort() const;
    /// The port the WebSocket listener was bound to; 0 when it did not start.
    std::uint16_t webSocketPort() const;
    /// The /v1 WebSocket paths bound to a client at this moment.
    std::vector<std::string> webSocketPaths() const { return bridge_.paths(); }
    /// Bus sockets the gateway holds for its clients at this moment.
    std::size_t busSocketCount() const { return reactor_.socketCount() + routes_.socketCount(); }

    /// One worker per hardware thread (at least one).
    static std::size_t defaultWorkerCount();

private:
    static std::pair<config::ServerSettings, config::SecuritySettings> readSettings(
        const std::string& configurationEndpoint);
    Server(std::pair<config::ServerSettings, config::SecuritySettings> settings);
    /// The trust verdict for `request` on `session`, arriving through `door`.
    net::Verdict trustOf(const net::HttpRequest& request, const net::HttpSession::Ptr& session,
                         net::Door door) const;
    /// The response that refuses a request whose headers `head` came through `door`; nothing
    /// when it may go on. Runs before the body is read.
    std::optional<std::string> refusalOf(const net::HttpRequest& head,
                                         const net::HttpSession::Ptr& session,
                                         net::Door door) const;
    /// Logs the refusal of a port or firmware command sent to `target` by `session`'s client.
    void logPrivilegedRefusal(std::string_view what, std::string_view target,
                              const net::HttpSession::Ptr& session) const;
    bool startListener(net::ListenerBuilder& listener, const std::string& address,
                       const std::string& port, net::HttpSession::Handlers handlers);
    void warnWhenOpen() const;
    void stopJogs(const net::HttpSession::Ptr& session);
    /// Answers a scrape of kMetricsPath that passed the trust gate under `verdict`.
    void answerMetrics(const net::Verdict& verdict, const net::HttpSession::Ptr& session);

    std::optional<WebApplicationLauncher> webApplication_;  // owner's thread only
    config::ServerSettings settings_;
    config::SecuritySettings security_;
    std::optional<net::TrustPolicy> trust_;  // set by start() before any listener runs
    std::shared_ptr<zmq::context_t> context_;
    platform::StopSignal stop_;  // set by stop(): ends the wait before opening the browser
    // Refusals a client can repeat at will (any web page can send them): one line a second.
    mutable core::LogLimiter refusalLog_;
    BusReactor reactor_;  // the feed, and the stops of clients that are gone
    LoopRoutes routes_;   // clients' requests, on their connection's loop
    JogGuard jogGuard_;   // the stops owed by each client, for the dead-man
    HttpForwarder forwarder_;
    WebSocketBridge bridge_;  // /v1: the path table and its mutex
    RpcGateway rpc_;          // /v2 clients
    MetricsBoard metrics_;    // the links' newest health, for GET /metrics
    bool started_ = false;    // owner's thread only
    std::shared_ptr<net::TcpService> service_;
    // Last: stopped (no loop accepts for them any more) before the service and the bridge go.
    net::ListenerBuilder http_;
    net::ListenerBuilder webSocket_;
};

}  // namespace kinetra::gateway
