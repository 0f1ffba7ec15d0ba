// The /v1 WebSocket bridge: one client per upgrade path, each message forwarded through the bus
// route of its connection's loop to the endpoint of that path and its reply sent back as one
// text frame. The handlers and the replies run on the network worker threads; the path table is
// shared between them under a mutex.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "gateway/bus_reactor.hpp"
#include "gateway/jog_guard.hpp"
#include "gateway/loop_routes.hpp"
#include "net/http_request.hpp"
#include "net/http_session.hpp"

namespace kinetra::gateway {

/// Owns the path table. A path is free until a client's upgrade binds it, and free again when
/// that client's connection closes; while bound, other clients on the path get a close frame
/// 1013 with a reason. Binding a path makes no bus socket: each loop's route keeps those per
/// announced endpoint.
///
/// A client's messages are answered in order, one at a time, each with its own bound; a
/// message without a reply in time gets {"result":"request could not be processed"} and the
/// connection is closed after that frame (later messages get nothing). A motionAbort to a
/// bundle is the exception: it goes out at once, past the message in flight, and the messages
/// waiting behind that one are answered {"result":"cancelled by stop"}; the replies still come
/// in the order of the messages.
class WebSocketBridge {
public:
    /// Bound on each message's reply.
    static constexpr std::chrono::milliseconds kReplyTimeout{1000};
    /// Messages a client may have waiting behind the one in flight; beyond, as no reply.
    static constexpr std::size_t kMaxQueued = 64;

    /// `routes` and `guard` outlive the bridge.
    WebSocketBridge(LoopRoutes& routes, JogGuard& guard) : routes_(routes), guard_(guard) {}

    /// Connected handler: binds `upgrade.path` to `session`, or refuses `session` (1013) when
    /// another client holds the path.
    void onConnected(const net::HttpSession::Ptr& session, const net::HttpRequest& upgrade);

    /// Message handler: forwards `payload` unchanged. A path whose endpoint is not announced
    /// open is answered {"result":"offline"} and stays connected (its service may still come).
    void onMessage(const net::HttpSession::Ptr& session, const std::string& payload,
                   const net::HttpRequest& upgrade);

    /// Closed handler: frees the path if `session` holds it (a refused client holds nothing).
    void onClosed(const net::HttpSession::Ptr& session, const net::HttpRequest& upgrade);

    /// The paths bound at this moment, in order.
    std::vector<std::string> paths() const;

private:
    // One bound path. Created under the mutex; after that touched on the owner's loop thread
    // only (its handlers and its requests' completions).
    struct Binding {
        const net::HttpSession* owner = nullptr;
        std::string path;
        std::string endpoint;             // "inproc:/" + path
        std::deque<std::string> waiting;  // messages behind the one in flight
        bool busy = false;                // a message is in flight
        bool failed = false;              // error frame sent, or the client gone: send no more
        const std::uint64_t client = BusReactor::newClientKey();
        // A motionAbort sent ahead of the message in flight: the messages it overtook, which
        // are answered "cancelled by stop" once the one in flight is answered, then its reply.
        bool stopAhead = false;
        std::size_t cancelled = 0;
        std::optional<std::pair<Outcome, std::string>> stopOutcome;
    };

    void sendNext(const net::HttpSession::Ptr& session, const std::shared_ptr<Binding>& binding);
    void onOutcome(const net::HttpSession::Ptr& session, const std::shared_ptr<Binding>& binding,
                   Outcome outcome, const std::string& reply);
    void fail(const net::HttpSession::Ptr& session, Binding& binding);
    void sendStopAhead(const net::HttpSession::Ptr& session,
                       const std::shared_ptr<Binding>& binding, std::string message);
    /// Sends `message` to the binding's endpoint through the loop's route, followed by the jog
    /// guard; `then` takes the outcome once the guard has settled it. `stop`: the motionAbort
    /// sent ahead of the message in flight.
    void forward(const net::HttpSession::Ptr& session, const std::shared_ptr<Binding>& binding,
                 std::string message, bool stop, bus::Route::Completion then);

    LoopRoutes& routes_;
    JogGuard& guard_;
    mutable std::mutex mutex_;  // guards paths_ (the map, not the bindings' queues)
    std::map<std::string, std::shared_ptr<Binding>> paths_;
};

}  // namespace kinetra::gateway
