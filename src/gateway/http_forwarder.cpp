// Forwarding on the worker thread that handles the request, over that thread's socket for the
// endpoint. A request that gets no reply closes its socket, and the late reply dies with it.
#include "gateway/http_forwarder.hpp"

#include <exception>
#include <utility>

#include <spdlog/spdlog.h>

#include "bus/endpoints.hpp"
#include "bus/socket_registry.hpp"
#include "bus/wait.hpp"
#include "core/json.hpp"
#include "gateway/gateway_texts.hpp"
#include "gateway/request_sockets.hpp"

namespace kinetra::gateway {

HttpForwarder::HttpForwarder(std::shared_ptr<zmq::context_t> context,
                             const platform::StopSignal& stop)
    : context_(std::move(context)), stop_(stop) {}

std::string HttpForwarder::forward(std::string_view path, std::string_view body) const {
    const std::string endpoint = bus::endpointForPath(path);
    const auto& registry = bus::SocketRegistry::instance();
    if (!registry.isOpen(endpoint)) {
        RequestSocket::forget(endpoint);
        spdlog::warn(kOfflineLog, endpoint);
        return std::string(kOfflineReply);
    }
    try {
        // Services always receive compact JSON; an empty body is an empty request object.
        const std::string request = body.empty() ? "{}" : core::dumpCompact(json::parse(body));

        const int timeout = static_cast<int>(kReceiveTimeout.count());
        auto socket = RequestSocket::acquire(*context_, endpoint, timeout);
        if (!bus::trySend(socket.socket(), request)) {
            // A kept socket whose service has gone has no peer any more (inproc does not
            // reconnect, even when the service binds again): retry once on a new socket.
            socket.discard();
            auto fresh = RequestSocket::acquire(*context_, endpoint, timeout);
            if (!bus::trySend(fresh.socket(), request)) {
                fresh.discard();
                spdlog::warn(kSendFailedLog);
                return std::string(kNotProcessedReply);
            }
            socket = std::move(fresh);
        }
        bool closed = false;
        auto reply = bus::receiveWithRetries(
            socket.socket(), kReplyTries, kReplyInterval,
            [&] {
                closed = !registry.isOpen(endpoint);
                return !closed;
            },
            &stop_);
        if (reply) {
            return std::string(reply->to_string_view());
        }
        socket.discard();  // the late reply, if any, goes with the socket
        if (closed) {
            spdlog::warn(kOfflineLog, endpoint);
            return std::string(kOfflineReply);
        }
        return {};  // no reply in time: the client gets an empty body
    } catch (const std::exception& error) {
        RequestSocket::forget(endpoint);
        spdlog::warn("{0}", error.what());
        return std::string(kInvalidPathReply);
    }
}

}  // namespace kinetra::gateway
