// One REQ socket per HTTP request, created and closed on the worker thread that handles it,
// so no socket is ever shared between requests and a late reply dies with its socket.
#include "gateway/http_forwarder.hpp"

#include <exception>
#include <utility>

#include <spdlog/spdlog.h>

#include "bus/endpoints.hpp"
#include "bus/socket_registry.hpp"
#include "bus/wait.hpp"
#include "core/json.hpp"
#include "gateway/gateway_texts.hpp"

namespace kinetra::gateway {

HttpForwarder::HttpForwarder(std::shared_ptr<zmq::context_t> context,
                             const platform::StopSignal& stop)
    : context_(std::move(context)), stop_(stop) {}

std::string HttpForwarder::forward(std::string_view path, std::string_view body) const {
    const std::string endpoint = bus::endpointForPath(path);
    const auto& registry = bus::SocketRegistry::instance();
    if (!registry.isOpen(endpoint)) {
        spdlog::warn(kOfflineLog, endpoint);
        return std::string(kOfflineReply);
    }
    try {
        // Services always receive compact JSON; an empty body is an empty request object.
        const std::string request = body.empty() ? "{}" : core::dumpCompact(json::parse(body));

        zmq::socket_t socket(*context_, zmq::socket_type::req);
        socket.set(zmq::sockopt::rcvtimeo, static_cast<int>(kReceiveTimeout.count()));
        socket.set(zmq::sockopt::linger, 0);  // an unanswered request is dropped on close
        socket.set(zmq::sockopt::req_relaxed, 1);
        socket.connect(endpoint);
        if (!bus::trySend(socket, request)) {
            spdlog::warn(kSendFailedLog);
            return std::string(kNotProcessedReply);
        }
        bool closed = false;
        auto reply = bus::receiveWithRetries(
            socket, kReplyTries, kReplyInterval,
            [&] {
                closed = !registry.isOpen(endpoint);
                return !closed;
            },
            &stop_);
        if (reply) {
            return std::string(reply->to_string_view());
        }
        if (closed) {
            spdlog::warn(kOfflineLog, endpoint);
            return std::string(kOfflineReply);
        }
        return {};  // no reply in time: the client gets an empty body
    } catch (const std::exception& error) {
        spdlog::warn("{0}", error.what());
        return std::string(kInvalidPathReply);
    }
}

}  // namespace kinetra::gateway
