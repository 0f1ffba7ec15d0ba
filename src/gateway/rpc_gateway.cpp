// /v2 handlers. Each runs on the loop thread of its connection, and so do the call outcomes
// (the loop's own route); feed messages go through each subscription's newest-wins mailbox.
#include "gateway/rpc_gateway.hpp"

#include <utility>

#include <spdlog/spdlog.h>

#include "bus/endpoints.hpp"
#include "bus/envelope.hpp"
#include "bus/feed.hpp"
#include "bus/socket_registry.hpp"
#include "core/log_text.hpp"
#include "gateway/gateway_texts.hpp"
#include "gateway/json_rpc.hpp"
#include "gateway/trust_gate.hpp"
#include "net/event_loop.hpp"

namespace kinetra::gateway {
namespace {

using rpc::ErrorCode;

// Answers a request; a notification (no id) gets nothing.
void answer(const net::HttpSession::Ptr& session, const std::optional<json>& id,
            const std::string& text) {
    if (id) {
        session->sendWebSocketText(text);
    }
}

void answerError(const net::HttpSession::Ptr& session, const std::optional<json>& id,
                 ErrorCode code, std::string_view message = {}, std::string_view data = {}) {
    if (id) {
        session->sendWebSocketText(rpc::errorText(*id, code, message, data));
    }
}

}  // namespace

// The current list when a "links" subscriber comes: linkStatus's data (none while the device
// service is not up yet: no links).
BusReactor::Snapshot linksSnapshot() {
    return {std::string(bus::kDeviceEndpoint), R"({"command":"linkStatus"})",
            [](Outcome outcome, const std::string& reply) -> std::optional<std::string> {
                if (outcome == Outcome::offline) {
                    return "[]";
                }
                const json parsed = json::parse(reply, nullptr, false);
                if (outcome != Outcome::reply || !parsed.is_object() || !parsed.contains("data")) {
                    return std::nullopt;
                }
                return core::dumpCompact(parsed["data"]);
            }};
}

void RpcGateway::onConnected(const net::HttpSession::Ptr& session, bool privileged) {
    std::lock_guard lock(mutex_);
    auto client = std::make_shared<Client>();
    client->privileged = privileged;
    clients_.emplace(session.get(), std::move(client));
}

void RpcGateway::onMessage(const net::HttpSession::Ptr& session, const std::string& payload) {
    std::shared_ptr<Client> client;
    {
        std::lock_guard lock(mutex_);
        if (const auto found = clients_.find(session.get()); found != clients_.end()) {
            client = found->second;
        }
    }
    if (!client) {
        session->close();
        return;
    }
    auto parsed = rpc::parseRequest(payload);
    if (const auto* rejection = std::get_if<rpc::Rejection>(&parsed)) {
        session->sendWebSocketText(rpc::errorText(rejection->id, rejection->code));
        return;
    }
    const auto& request = std::get<rpc::Request>(parsed);
    if (request.method == "call") {
        call(session, client, request.id, request.params);
    } else if (request.method == "subscribe") {
        subscribe(session, *client, request.id, request.params);
    } else if (request.method == "unsubscribe") {
        unsubscribe(session, *client, request.id, request.params);
    } else {
        answerError(session, request.id, ErrorCode::methodNotFound);
    }
}

void RpcGateway::call(const net::HttpSession::Ptr& session, const std::shared_ptr<Client>& client,
                      const std::optional<json>& id, const json& params) {
    auto parsed = rpc::callParams(params);
    if (const auto* reason = std::get_if<std::string>(&parsed)) {
        answerError(session, id, ErrorCode::invalidParams, {}, *reason);
        return;
    }
    auto& [path, request] = std::get<rpc::CallParams>(parsed);
    if (!client->privileged && isPrivilegedCommand(request)) {
        if (const auto held = refusals_.admit("privileged")) {
            spdlog::warn(
                "Refused a call to {0} from {1}: a port or firmware command from a client "
                "outside the trusted networks without the key.{2}",
                core::escapeForLog(path), session->connection()->remoteAddress(),
                core::heldBackNote(*held));
        }
        answer(session, id, rpc::resultText(id.value_or(nullptr), net::kForbiddenReply));
        return;
    }
    std::string endpoint = bus::endpointForPath(path);
    if (!bus::SocketRegistry::instance().isOpen(endpoint)) {
        spdlog::warn(kOfflineLog, core::escapeForLog(endpoint));
        answer(session, id, rpc::resultText(id.value_or(nullptr), kOfflineReply));
        return;
    }
    // A stop is never turned away: it cancels what this client (and every other) has queued.
    const bool stop = bus::isMotionAbort(request);
    if (client->inFlight >= kMaxInFlight && !stop) {
        answerError(session, id, ErrorCode::serverError, "too many calls in flight");
        return;
    }
    ++client->inFlight;
    auto ticket = guard_.observe(session.get(), path, request);  // owed from the send
    routes_.send(session->connection()->loop(),
                 bus::Route::Request{
                     .endpoint = std::move(endpoint),
                     .body = std::move(request),
                     .client = client->key,
                     .patience = kCallTimeout,
                     .stop = stop,
                     .done = [this, session, client, id, ticket = std::move(ticket)](
                                 Outcome outcome, std::string reply) {
                         if (ticket) {
                             guard_.settle(*ticket, JogGuard::answerOf(outcome, reply));
                         }
                         --client->inFlight;
                         if (client->gone) {
                             return;  // abandoned: the connection has closed
                         }
                         const json answerId = id.value_or(nullptr);
                         switch (outcome) {
                             case Outcome::reply:
                                 // Services answer JSON; anything else is passed on as a string.
                                 answer(session, id,
                                        rpc::resultText(answerId,
                                                        json::accept(reply)
                                                            ? reply
                                                            : json(reply).dump(
                                                                  -1, ' ', false,
                                                                  json::error_handler_t::replace)));
                                 break;
                             case Outcome::offline:
                                 answer(session, id, rpc::resultText(answerId, kOfflineReply));
                                 break;
                             case Outcome::notQueued:
                                 answer(session, id, rpc::resultText(answerId, kNotProcessedReply));
                                 break;
                             case Outcome::noReply:
                                 answerError(session, id, ErrorCode::serverError, "no reply");
                                 break;
                         }
                     }});
}

void RpcGateway::subscribe(const net::HttpSession::Ptr& session, Client& client,
                           const std::optional<json>& id, const json& params) {
    auto parsed = rpc::subscribeParams(params);
    if (const auto* reason = std::get_if<std::string>(&parsed)) {
        answerError(session, id, ErrorCode::invalidParams, {}, *reason);
        return;
    }
    if (client.subscriptions.size() >= kMaxSubscriptions) {
        answerError(session, id, ErrorCode::serverError, "too many subscriptions");
        return;
    }
    const auto& wanted = std::get<rpc::SubscribeParams>(parsed);
    const auto number = client.nextSubscription++;
    using Topic = rpc::SubscribeParams::Topic;
    const bool links = wanted.topic == Topic::links;
    // Everything around the body is fixed per subscription: keys in alphabetical order.
    const std::string after = (links ? "" : R"(,"linkID":)" + json(wanted.linkId).dump()) +
                              R"(,"subscription":)" + std::to_string(number) + "}";
    const char* method = links ? "links" : wanted.topic == Topic::status ? "status" : "health";
    auto subscription = std::make_shared<Subscription>(
        session,
        [method, after](const std::string& body) {
            return rpc::notificationText(method, R"({"data":)" + body + after);
        },
        wanted.maxRate);
    // The result goes out before the reactor can offer anything: it is queued first, and
    // notifications are sent from this same loop thread.
    answer(session, id,
           rpc::resultText(id.value_or(nullptr),
                           R"({"subscription":)" + std::to_string(number) + "}"));
    const auto token = reactor_.subscribe(
        links                           ? std::string(bus::kLinksTopic)
        : wanted.topic == Topic::status ? bus::statusTopic(wanted.linkId)
                                        : bus::healthTopic(wanted.linkId),
        [subscription](const std::string& body) { subscription->offer(body); },
        links ? std::optional(linksSnapshot()) : std::nullopt);
    client.subscriptions.emplace(number, Client::Entry{token, std::move(subscription)});
}

void RpcGateway::unsubscribe(const net::HttpSession::Ptr& session, Client& client,
                             const std::optional<json>& id, const json& params) {
    auto parsed = rpc::unsubscribeParams(params);
    const auto* wanted = std::get_if<rpc::UnsubscribeParams>(&parsed);
    const auto found = wanted != nullptr ? client.subscriptions.find(wanted->subscription)
                                         : client.subscriptions.end();
    if (found == client.subscriptions.end()) {
        answerError(session, id, ErrorCode::invalidParams, {},
                    wanted != nullptr ? "no such subscription" : std::get<std::string>(parsed));
        return;
    }
    reactor_.unsubscribe(found->second.token);
    found->second.subscription->cancel();
    client.subscriptions.erase(found);
    answer(session, id, rpc::resultText(id.value_or(nullptr), "true"));
}

void RpcGateway::onClosed(const net::HttpSession::Ptr& session) {
    std::shared_ptr<Client> client;
    {
        std::lock_guard lock(mutex_);
        const auto found = clients_.find(session.get());
        if (found == clients_.end()) {
            return;
        }
        client = std::move(found->second);
        clients_.erase(found);
    }
    client->gone = true;
    for (auto& [number, entry] : client->subscriptions) {
        reactor_.unsubscribe(entry.token);
        entry.subscription->cancel();
    }
    client->subscriptions.clear();
}

std::size_t RpcGateway::clientCount() const {
    std::lock_guard lock(mutex_);
    return clients_.size();
}

}  // namespace kinetra::gateway
