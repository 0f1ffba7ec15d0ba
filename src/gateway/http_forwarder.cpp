// HTTP forwarding: checks and compacts on the worker thread, queues on the bus reactor, and
// turns the outcome into the response body back on the connection's loop.
#include "gateway/http_forwarder.hpp"

#include <exception>
#include <memory>
#include <utility>

#include <spdlog/spdlog.h>

#include "bus/endpoints.hpp"
#include "bus/envelope.hpp"
#include "bus/socket_registry.hpp"
#include "core/json.hpp"
#include "core/log_text.hpp"
#include "gateway/gateway_texts.hpp"

namespace kinetra::gateway {

HttpForwarder::HttpForwarder(BusReactor& reactor, JogGuard& guard)
    : reactor_(reactor),
      guard_(guard),
      refresh_(
          [this](const std::string& path, const std::string& client) { letGo(path, client); }) {}

void HttpForwarder::forward(std::string_view path, std::string_view body, std::string_view client,
                            std::uint64_t clientKey, net::EventLoop& loop, Done done) {
    std::string endpoint = bus::endpointForPath(path);
    if (!bus::SocketRegistry::instance().isOpen(endpoint)) {
        spdlog::warn(kOfflineLog, core::escapeForLog(endpoint));
        done(std::string(kOfflineReply));
        return;
    }
    json parsed;
    std::string request;
    bool stop = false;
    try {
        // Services always receive compact JSON; an empty body is an empty request object.
        parsed = body.empty() ? json::object() : json::parse(body);
        request = core::dumpCompact(parsed);
        stop = bus::commandOf(parsed) == bus::kMotionAbort;
    } catch (const std::exception& error) {
        spdlog::warn("{0}", error.what());
        done(std::string(kInvalidPathReply));
        return;
    }
    // The bundle reads what it receives with the same parser, so this is its reading too.
    auto ticket = guard_.observeParsed(this, path, parsed);
    if (ticket && ticket->deflects != 0) {
        refresh_.arm(path, std::string(client));
    }
    reactor_.submit(BusReactor::Request{
        endpoint, std::move(request), kReplyTimeout, true,
        [this, endpoint, &loop, ticket = std::move(ticket), done = std::move(done)](
            Outcome outcome, std::string reply) mutable {
            if (ticket) {
                guard_.settle(*ticket, JogGuard::answerOf(outcome, reply));
            }
            switch (outcome) {
                case Outcome::reply:
                    break;
                case Outcome::noReply:
                    reply.clear();  // the client gets an empty body
                    break;
                case Outcome::offline:
                    spdlog::warn(kOfflineLog, core::escapeForLog(endpoint));
                    reply = kOfflineReply;
                    break;
                case Outcome::notQueued:
                    spdlog::warn(kSendFailedLog);
                    reply = kNotProcessedReply;
                    break;
            }
            loop.post([done = std::move(done), reply = std::move(reply)]() mutable {
                done(std::move(reply));
            });  // `done` holds the connection, which keeps `loop` alive
        },
        clientKey, stop});
}

void HttpForwarder::letGo(const std::string& path, const std::string& client) {
    if (auto stop = guard_.release(this, path)) {
        sendJogStop(reactor_, client, std::move(*stop));
    }
}

}  // namespace kinetra::gateway
