// A listening socket with its own accept thread; hands every accepted connection to a worker
// loop of a TcpService, round robin. Configured and started by the owner's thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include "core/log_limiter.hpp"
#include "net/tcp_connection.hpp"
#include "net/tcp_service.hpp"
#include "platform/service_thread.hpp"

namespace kinetra::net {

/// Configures and runs one IPv4 listener:
///
///     ListenerBuilder listener;
///     listener.withService(service)
///         .withAddress("0.0.0.0", 32222)
///         .withSocketSetup(ListenerBuilder::tcpNoDelay())
///         .withReceiveLimit(8192)
///         .withEnterCallback(HttpSession::enterCallback(handlers));
///     listener.start();  // throws "listen error of:<errno>"
///
/// Configure before start(). The destructor stops the listener; its accept thread never
/// outlives it. Stop listeners before stopping their service.
class ListenerBuilder {
public:
    /// Runs on each accepted socket, on the accept thread, before the connection reaches its
    /// loop. A step that throws drops that connection.
    using SocketSetup = std::function<void(asio::ip::tcp::socket& socket)>;

    static constexpr int kBacklog = 512;
    static constexpr std::size_t kDefaultReceiveLimit = 8192;

    ListenerBuilder() = default;
    ~ListenerBuilder();
    ListenerBuilder(const ListenerBuilder&) = delete;
    ListenerBuilder& operator=(const ListenerBuilder&) = delete;

    /// The service whose loops get the connections; it must be started before start().
    ListenerBuilder& withService(std::shared_ptr<TcpService> service);
    /// IPv4 address as dotted text (no name resolution: a host name fails) and port (0: any).
    ListenerBuilder& withAddress(std::string address, std::uint16_t port);
    /// Adds a set-up step for accepted sockets; steps run in the order added.
    ListenerBuilder& withSocketSetup(SocketSetup step);
    /// The receive limit handed to each connection, in bytes (default 8192).
    ListenerBuilder& withReceiveLimit(std::size_t bytes);
    /// At most `count` connections of this listener at a time; one accepted beyond it is closed
    /// at once (logged at most once a second, with the count of those held back). Default: no
    /// limit.
    ListenerBuilder& withConnectionLimit(std::size_t count);
    /// Installs the protocol on each new connection, on its loop thread.
    ListenerBuilder& withEnterCallback(TcpConnection::EnterCallback enter);

    /// Set-up step: TCP_NODELAY on.
    static SocketSetup tcpNoDelay();

    /// Opens the socket (SO_REUSEADDR on, backlog 512) and starts the accept thread. On failure
    /// the socket is closed and std::runtime_error("listen error of:<errno>") is thrown, errno
    /// in decimal. std::logic_error when already started or without a running service.
    void start();

    /// Closes the listening socket and joins the accept thread; open connections stay with
    /// their service. Idempotent.
    void stop();

    /// The port actually bound (useful with port 0); 0 before start().
    std::uint16_t port() const { return boundPort_; }
    /// Connections of this listener not closed yet; any thread.
    std::size_t connectionCount() const { return *live_; }

private:
    void accept();
    void onAccepted(const std::error_code& error, asio::ip::tcp::socket socket,
                    const std::shared_ptr<EventLoop>& loop);

    std::shared_ptr<TcpService> service_;
    std::string address_ = "0.0.0.0";
    std::uint16_t port_ = 0;
    std::vector<SocketSetup> setup_;
    std::size_t receiveLimit_ = kDefaultReceiveLimit;
    std::shared_ptr<const TcpConnection::EnterCallback> enter_;
    std::uint16_t boundPort_ = 0;
    std::size_t connectionLimit_ = 0;  // 0: none
    // Shared with every connection's slot, which may outlive the listener.
    std::shared_ptr<std::atomic<std::size_t>> live_ = std::make_shared<std::atomic<std::size_t>>(0);
    core::LogLimiter limitLog_;  // the refusals beyond the limit (accept thread)

    asio::io_context context_{1};
    std::optional<asio::ip::tcp::acceptor> acceptor_;  // accept thread only once started
    asio::steady_timer retryTimer_{context_};          // accept thread only
    bool acceptArmed_ = false;        // an accept or its retry is pending (accept thread only)
    bool started_ = false;            // owner's thread
    platform::ServiceThread thread_;  // last: joined before the members it uses go
};

}  // namespace kinetra::net
