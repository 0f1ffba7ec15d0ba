// A listening socket whose connections the worker loops of a TcpService accept themselves: each
// loop waits on the socket through a descriptor of its own, and the loop that takes a connection
// serves it, so no thread hands it over (the loop with time to spare is the one that takes it).
// Configured, started and stopped by the owner's thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>

#include "net/tcp_connection.hpp"
#include "net/tcp_service.hpp"

namespace kinetra::net {

/// Configures and runs one IPv4 listener:
///
///     ListenerBuilder listener;
///     listener.withService(service)
///         .withAddress("0.0.0.0", 32222)
///         .withNoDelay()
///         .withReceiveLimit(8192)
///         .withEnterCallback(HttpSession::enterCallback(handlers));
///     listener.start();  // throws "listen error of:<errno>"
///
/// Configure before start(). The destructor stops the listener. Stop listeners before stopping
/// their service (a service that stops first closes their sockets on its loops itself).
class ListenerBuilder {
public:
    /// Runs on each accepted socket, on the loop that accepted it, before the connection is
    /// made. A step that throws drops that connection.
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

    /// TCP_NODELAY on the listening socket: the kernel hands it down to every connection it
    /// accepts, so no connection needs a call of its own for it.
    ListenerBuilder& withNoDelay();

    /// Opens the socket (SO_REUSEADDR on, backlog 512) and has every loop of the service
    /// accept on it. On failure the socket is closed and std::runtime_error("listen error
    /// of:<errno>") is thrown, errno in decimal. std::logic_error when already started or
    /// without a running service.
    void start();

    /// Has every loop stop accepting (waiting, bounded, until each has) and closes the
    /// listening socket; open connections stay with their service. Idempotent.
    void stop();

    /// The port actually bound (useful with port 0); 0 before start().
    std::uint16_t port() const { return boundPort_; }
    /// Connections of this listener not closed yet; any thread.
    std::size_t connectionCount() const { return *live_; }

private:
    class Door;        // one loop's accepting end (listener_builder.cpp)
    struct Accepting;  // what every door does with a connection, shared by them

    std::shared_ptr<TcpService> service_;
    std::string address_ = "0.0.0.0";
    std::uint16_t port_ = 0;
    std::vector<SocketSetup> setup_;
    bool noDelay_ = false;
    std::size_t receiveLimit_ = kDefaultReceiveLimit;
    std::shared_ptr<const TcpConnection::EnterCallback> enter_;
    std::uint16_t boundPort_ = 0;
    std::size_t connectionLimit_ = 0;  // 0: none
    // Shared with every connection's slot, which may outlive the listener.
    std::shared_ptr<std::atomic<std::size_t>> live_ = std::make_shared<std::atomic<std::size_t>>(0);

    asio::io_context context_{1};  // owns the listening socket; never run
    std::optional<asio::ip::tcp::acceptor> acceptor_;
    // Each loop's door, as the loop holds it (closed and released on that loop).
    std::vector<std::pair<std::shared_ptr<EventLoop>, Door*>> doors_;
    bool started_ = false;  // owner's thread
};

}  // namespace kinetra::net
