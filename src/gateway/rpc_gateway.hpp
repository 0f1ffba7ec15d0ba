// The /v2 WebSocket endpoint: JSON-RPC 2.0 over one connection per client, any number of
// clients, each with any number of calls in flight and any number of subscriptions. Handlers
// and call outcomes run on the network worker threads; feed messages come from the reactor.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "core/json.hpp"
#include "core/log_limiter.hpp"
#include "gateway/bus_reactor.hpp"
#include "gateway/jog_guard.hpp"
#include "gateway/loop_routes.hpp"
#include "gateway/subscription.hpp"
#include "net/http_session.hpp"

namespace kinetra::gateway {

/// How the link list is asked for when its first subscriber comes: linkStatus's data ("[]"
/// while the device service is not up).
BusReactor::Snapshot linksSnapshot();

/// Methods: call {path, request} (the service's reply as result; {"result":"offline"} for a
/// path not announced; error -32000 "no reply" after kCallTimeout), subscribe {topic "status" or
/// "health", linkID, maxRate?} or {topic "links", maxRate?} (result {"subscription":N}, then
/// notifications "status" / "health" / "links" with params {data, linkID?, subscription}),
/// unsubscribe {subscription} (result true). See json_rpc.hpp for the error codes.
///
/// A client that does not read its answers is closed by its session (1008, see
/// net::HttpSession's maxUnsentBytes); its calls still in flight are abandoned: their answers go
/// nowhere. Subscriptions never pile up: they keep only the newest body.
class RpcGateway {
public:
    /// The path of the endpoint on the WebSocket port.
    static constexpr std::string_view kPath = "/v2";
    static constexpr std::chrono::milliseconds kCallTimeout{1000};
    /// Per client; beyond, a call is answered -32000 at once.
    static constexpr std::size_t kMaxInFlight = 256;
    /// Per client; beyond, subscribe is answered -32000.
    static constexpr std::size_t kMaxSubscriptions = 64;
    /// The frame for a message over the receive limit (sent before the close 1009).
    static constexpr std::string_view kTooLargeError =
        R"({"error":{"code":-32600,"message":"request too large"},"id":null,"jsonrpc":"2.0"})";

    /// `routes` (calls), `reactor` (subscriptions), `guard` and `refusals` (limits the log of
    /// refused calls) outlive this object.
    RpcGateway(LoopRoutes& routes, BusReactor& reactor, JogGuard& guard, core::LogLimiter& refusals)
        : routes_(routes), reactor_(reactor), guard_(guard), refusals_(refusals) {}

    /// `privileged`: the client may call the port and firmware commands (see trust_gate.hpp);
    /// when false such a call is answered {"result":"forbidden"} and nothing is forwarded.
    void onConnected(const net::HttpSession::Ptr& session, bool privileged = true);
    void onMessage(const net::HttpSession::Ptr& session, const std::string& payload);
    /// Ends the client's subscriptions; calls in flight are abandoned: their answers go nowhere.
    void onClosed(const net::HttpSession::Ptr& session);

    /// Connected /v2 clients (tests).
    std::size_t clientCount() const;

private:
    // One client's state; after onConnected, touched on its connection's loop thread only.
    struct Client {
        struct Entry {
            std::uint64_t token;  // the reactor's
            std::shared_ptr<Subscription> subscription;
        };
        std::map<std::int64_t, Entry> subscriptions;
        std::int64_t nextSubscription = 1;
        std::size_t inFlight = 0;
        bool privileged = true;  // set once, before the first message
        bool gone = false;       // closed or cut off: late answers are dropped
        const std::uint64_t key = BusReactor::newClientKey();  // who asks, for the bus
    };

    void call(const net::HttpSession::Ptr& session, const std::shared_ptr<Client>& client,
              const std::optional<json>& id, const json& params);
    void subscribe(const net::HttpSession::Ptr& session, Client& client,
                   const std::optional<json>& id, const json& params);
    void unsubscribe(const net::HttpSession::Ptr& session, Client& client,
                     const std::optional<json>& id, const json& params);

    LoopRoutes& routes_;
    BusReactor& reactor_;
    JogGuard& guard_;
    core::LogLimiter& refusals_;
    mutable std::mutex mutex_;  // guards clients_ (the map, not the clients in it)
    std::unordered_map<const net::HttpSession*, std::shared_ptr<Client>> clients_;
};

}  // namespace kinetra::gateway
