// HTTP forwarding: checks and compacts on the worker thread, sends on that loop's bus route, and
// turns the outcome into the response body there when it comes.
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

HttpForwarder::HttpForwarder(LoopRoutes& routes, BusReactor& reactor, JogGuard& guard)
    : routes_(routes),
      reactor_(reactor),
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
        {
            std::lock_guard lock(loopsMutex_);
            jogLoops_[std::string(path)] = loop.shared_from_this();
        }
        refresh_.arm(path, std::string(client));
    }
    routes_.send(loop,
                 bus::Route::Request{
                     .endpoint = endpoint,
                     .body = std::move(request),
                     .client = clientKey,
                     .patience = kReplyTimeout,
                     .stop = stop,
                     .done = [this, endpoint, ticket = std::move(ticket), done = std::move(done)](
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
                         done(std::move(reply));
                     }});
}

// On jog-refresh's thread.
void HttpForwarder::letGo(const std::string& path, const std::string& client) {
    std::shared_ptr<net::EventLoop> loop;
    {
        std::lock_guard lock(loopsMutex_);
        if (const auto found = jogLoops_.find(path); found != jogLoops_.end()) {
            loop = found->second.lock();
            jogLoops_.erase(found);
        }
    }
    auto stop = guard_.release(this, path);
    if (!stop) {
        return;
    }
    // Run by the loop's own thread, which the loop joins before it goes.
    net::EventLoop* const on = loop.get();
    if (on != nullptr && on->post([this, on, client, owed = *stop]() mutable {
            sendJogStop(routes_, *on, client, std::move(owed));
        })) {
        return;
    }
    // The loop is stopping, and its route with it: the reactor sends the stop instead.
    sendJogStop(reactor_, client, std::move(*stop));
}

}  // namespace kinetra::gateway
