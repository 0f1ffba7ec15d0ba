// /v1 WebSocket handlers of the gateway. Each runs on the worker loop thread of its connection,
// and so do the outcomes of its bus requests (the loop's own route).
#include "gateway/websocket_bridge.hpp"

#include <exception>
#include <system_error>
#include <utility>

#include <spdlog/spdlog.h>

#include "bus/endpoints.hpp"
#include "bus/envelope.hpp"
#include "bus/socket_registry.hpp"
#include "core/log_text.hpp"
#include "gateway/gateway_texts.hpp"
#include "net/event_loop.hpp"

namespace kinetra::gateway {
namespace {

// "/v1/bundle/<linkID>": the one path a stop is sent ahead on.
bool isBundleCommand(std::string_view path) {
    constexpr std::string_view kPrefix = "/v1/bundle/";
    return path.starts_with(kPrefix) && path.size() > kPrefix.size() &&
           path.find('/', kPrefix.size()) == std::string_view::npos;
}

}  // namespace

void WebSocketBridge::onConnected(const net::HttpSession::Ptr& session,
                                  const net::HttpRequest& upgrade) {
    std::lock_guard lock(mutex_);
    if (paths_.contains(upgrade.path)) {
        spdlog::info("WebSocket path {0} already has a client; refusing {1}.",
                     core::escapeForLog(upgrade.path), session->connection()->remoteAddress());
        session->closeWebSocket(net::WebSocketFormat::CloseCode::tryAgainLater, kPathTakenReason);
        return;
    }
    // Not checked against the registry: a client may connect before its service appears.
    auto binding = std::make_shared<Binding>();
    binding->owner = session.get();
    binding->path = upgrade.path;
    binding->endpoint = bus::endpointForPath(upgrade.path);
    paths_.emplace(upgrade.path, std::move(binding));
}

void WebSocketBridge::onMessage(const net::HttpSession::Ptr& session, const std::string& payload,
                                const net::HttpRequest& upgrade) {
    std::shared_ptr<Binding> binding;
    {
        std::lock_guard lock(mutex_);
        const auto found = paths_.find(upgrade.path);
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
    if (binding->busy && !binding->stopAhead && isBundleCommand(upgrade.path) &&
        bus::isMotionAbort(payload)) {
        sendStopAhead(session, binding, payload);
        return;
    }
    binding->waiting.push_back(payload);
    if (binding->waiting.size() > kMaxQueued) {
        fail(session, *binding);  // a client that does not wait for its replies
        return;
    }
    if (!binding->busy) {
        sendNext(session, binding);
    }
}

// The stop does not wait for the message in flight, which it may cancel at the bundle; the
// messages behind that one would only run after the stop, so they never go.
void WebSocketBridge::sendStopAhead(const net::HttpSession::Ptr& session,
                                    const std::shared_ptr<Binding>& binding, std::string message) {
    binding->stopAhead = true;
    binding->cancelled += binding->waiting.size();
    binding->waiting.clear();
    forward(session, binding, std::move(message), true,
            [this, session, binding](Outcome outcome, std::string reply) {
                binding->stopOutcome.emplace(outcome, std::move(reply));
                if (!binding->busy) {
                    sendNext(session, binding);  // its turn came while it was out
                }
            });
}

void WebSocketBridge::sendNext(const net::HttpSession::Ptr& session,
                               const std::shared_ptr<Binding>& binding) {
    for (; binding->cancelled > 0 && !binding->failed; --binding->cancelled) {
        session->sendWebSocketText(kCancelledByStopReply);
    }
    if (binding->stopAhead && !binding->failed) {
        if (!binding->stopOutcome) {
            return;  // answered when it comes; `busy` stays clear meanwhile
        }
        auto [outcome, reply] = std::move(*binding->stopOutcome);
        binding->stopOutcome.reset();
        binding->stopAhead = false;
        onOutcome(session, binding, outcome, reply);
        return;
    }
    const auto& registry = bus::SocketRegistry::instance();
    while (!binding->waiting.empty() && !binding->failed) {
        std::string message = std::move(binding->waiting.front());
        binding->waiting.pop_front();
        // Only services that announced themselves are reachable from outside, as over HTTP. The
        // endpoints that are not announced are internal: the configuration, the scanner's
        // switches and the PULL channels that carry device status and serial replies.
        if (!registry.isOpen(binding->endpoint)) {
            spdlog::warn(kOfflineLog, core::escapeForLog(binding->endpoint));
            session->sendWebSocketText(kOfflineReply);
            continue;
        }
        binding->busy = true;
        forward(session, binding, std::move(message), false,
                [this, session, binding](Outcome outcome, std::string reply) {
                    onOutcome(session, binding, outcome, reply);
                });
        return;
    }
}

// Followed by the jog guard from the send, not the queue: a message still queued when the
// client goes is never sent (see onClosed()), so it owes nothing.
void WebSocketBridge::forward(const net::HttpSession::Ptr& session,
                              const std::shared_ptr<Binding>& binding, std::string message,
                              bool stop, bus::Route::Completion then) {
    auto ticket = guard_.observe(session.get(), binding->path, message);
    routes_.send(
        session->connection()->loop(),
        bus::Route::Request{.endpoint = binding->endpoint,
                            .body = std::move(message),
                            .client = binding->client,
                            .patience = kReplyTimeout,
                            .stop = stop,
                            .offlineWhenClosed = false,
                            .done = [this, ticket = std::move(ticket), then = std::move(then)](
                                        Outcome outcome, std::string reply) {
                                if (ticket) {
                                    guard_.settle(*ticket, JogGuard::answerOf(outcome, reply));
                                }
                                then(outcome, std::move(reply));
                            }});
}

void WebSocketBridge::onOutcome(const net::HttpSession::Ptr& session,
                                const std::shared_ptr<Binding>& binding, Outcome outcome,
                                const std::string& reply) {
    binding->busy = false;
    switch (outcome) {
        case Outcome::reply:
            session->sendWebSocketText(reply);
            break;
        case Outcome::offline:  // closed between the check and the send
            spdlog::warn(kOfflineLog, core::escapeForLog(binding->endpoint));
            session->sendWebSocketText(kOfflineReply);
            break;
        case Outcome::noReply:
        case Outcome::notQueued:
            fail(session, *binding);
            return;
    }
    sendNext(session, binding);
}

void WebSocketBridge::fail(const net::HttpSession::Ptr& session, Binding& binding) {
    binding.failed = true;
    binding.waiting.clear();
    spdlog::warn(kNoResponseLog);
    session->sendWebSocketText(kNotProcessedReply,
                               [session](const std::error_code&) { session->close(); });
}

void WebSocketBridge::onClosed(const net::HttpSession::Ptr& session,
                               const net::HttpRequest& upgrade) {
    std::lock_guard lock(mutex_);
    const auto found = paths_.find(upgrade.path);
    // A refused second client must not free the first client's path.
    if (found != paths_.end() && found->second->owner == session.get()) {
        // Its queued messages go with it: a jog sent after the dead-man's stop would move the
        // gear with nobody left to stop it. (This runs on the owner's loop, like the queue.)
        found->second->failed = true;
        found->second->waiting.clear();
        paths_.erase(found);
    }
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
