// WebSocket handlers of the gateway. Each runs on the worker loop thread of its connection.
#include "gateway/websocket_bridge.hpp"

#include <array>
#include <exception>
#include <system_error>
#include <utility>

#include <spdlog/spdlog.h>

#include "bus/endpoints.hpp"
#include "bus/socket_registry.hpp"
#include "bus/wait.hpp"
#include "gateway/gateway_texts.hpp"

namespace kinetra::gateway {
namespace {

// Queues `text` on `socket`, waiting at most `timeout` for room (a REQ whose service has gone
// has no peer to queue to). A set `stop` ends the wait.
bool sendWithin(zmq::socket_t& socket, const std::string& text, std::chrono::milliseconds timeout,
                const platform::StopSignal& stop) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (bus::trySend(socket, text)) {
            return true;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || stop.isSet()) {
            return false;
        }
        std::array<zmq::pollitem_t, 2> items{
            zmq::pollitem_t{socket.handle(), 0, ZMQ_POLLOUT, 0},
            zmq::pollitem_t{nullptr, stop.fd(), ZMQ_POLLIN, 0},
        };
        zmq::poll(items.data(), items.size(), left);
    }
}

}  // namespace

WebSocketBridge::WebSocketBridge(std::shared_ptr<zmq::context_t> context,
                                 const platform::StopSignal& stop)
    : context_(std::move(context)), stop_(stop) {}

void WebSocketBridge::onConnected(const net::HttpSession::Ptr& session,
                                  const net::HttpRequest& upgrade) {
    try {
        std::lock_guard lock(mutex_);
        if (paths_.contains(upgrade.path)) {
            spdlog::info("WebSocket path {0} already has a client; refusing {1}.", upgrade.path,
                         session->connection()->remoteAddress());
            session->close();
            return;
        }
        // Not checked against the registry: a client may connect before its service appears.
        zmq::socket_t socket(*context_, zmq::socket_type::req);
        const int timeout = static_cast<int>(kReplyTimeout.count());
        socket.set(zmq::sockopt::rcvtimeo, timeout);
        socket.set(zmq::sockopt::linger, 0);
        socket.set(zmq::sockopt::req_relaxed, 1);
        std::string endpoint = bus::endpointForPath(upgrade.path);
        socket.connect(endpoint);
        paths_.emplace(upgrade.path, std::make_shared<Binding>(Binding{
                                         session.get(), std::move(endpoint), std::move(socket)}));
    } catch (const std::exception& error) {
        spdlog::error("{0}", error.what());
        session->close();
    }
}

void WebSocketBridge::onMessage(const net::HttpSession::Ptr& session, const std::string& payload,
                                const net::HttpRequest& upgrade) {
    std::shared_ptr<Binding> binding;
    {
        std::lock_guard lock(mutex_);
        const auto found = paths_.find(upgrade.path);
        // Only the owner may use the path's socket: the socket belongs to its loop thread.
        if (found != paths_.end() && found->second->owner == session.get()) {
            binding = found->second;
        }
    }
    if (!binding) {
        session->close();
        return;
    }
    if (binding->failed) {
        return;  // the error frame is out and the close follows it
    }
    // Only services that announced themselves are reachable from outside, as over HTTP. The
    // endpoints that are not announced are internal: the configuration, the scanner's switches
    // and the PULL channels that carry device status and serial replies (a REQ reaches a PULL
    // on inproc, so a message could otherwise be injected there as if from the device).
    if (!bus::SocketRegistry::instance().isOpen(binding->endpoint)) {
        spdlog::warn(kOfflineLog, binding->endpoint);
        session->sendWebSocketText(kOfflineReply);
        return;
    }
    try {
        if (!sendWithin(binding->socket, payload, kReplyTimeout, stop_)) {
            fail(session, *binding);
            return;
        }
        const auto reply = bus::receiveWithin(binding->socket, kReplyTimeout, &stop_);
        if (!reply) {
            fail(session, *binding);
            return;
        }
        session->sendWebSocketText(reply->to_string_view());
    } catch (const std::exception& error) {
        spdlog::warn("{0}", error.what());
    }
}

void WebSocketBridge::fail(const net::HttpSession::Ptr& session, Binding& binding) {
    binding.failed = true;
    spdlog::warn(kNoResponseLog);
    session->sendWebSocketText(kNotProcessedReply,
                               [session](const std::error_code&) { session->close(); });
}

void WebSocketBridge::onClosed(const net::HttpSession::Ptr& session,
                               const net::HttpRequest& upgrade) {
    std::shared_ptr<Binding> released;
    {
        std::lock_guard lock(mutex_);
        const auto found = paths_.find(upgrade.path);
        // A refused second client must not free the first client's path.
        if (found != paths_.end() && found->second->owner == session.get()) {
            released = std::move(found->second);
            paths_.erase(found);
        }
    }
    // The socket closes here, outside the lock, on the owner's loop thread.
}

std::vector<std::string> WebSocketBridge::paths() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> result;
    result.reserve(paths_.size());
    for (const auto& entry : paths_) {
        result.push_back(entry.first);
    }
    return result;
}

}  // namespace kinetra::gateway
