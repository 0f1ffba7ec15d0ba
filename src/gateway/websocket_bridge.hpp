// The WebSocket bridge: one client per upgrade path, bound to the bus endpoint of that path
// through a REQ socket of its own. The handlers run on the network service's worker threads;
// the path table is shared between them under the bridge's mutex.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <zmq.hpp>

#include "net/http_request.hpp"
#include "net/http_session.hpp"
#include "platform/stop_signal.hpp"

namespace kinetra::gateway {

/// Owns the path table. A path is free until a client's upgrade binds it, and free again when
/// that client's connection closes; while bound, other clients on the path are refused.
///
/// Each binding's socket is created, used and closed only on the owning connection's worker
/// loop thread (every event of one connection runs there), so the mutex guards the table, never
/// a socket, and is not held while a message waits for its reply.
class WebSocketBridge {
public:
    /// Bound on queuing a message and on awaiting its reply, each.
    static constexpr std::chrono::milliseconds kReplyTimeout{1000};

    /// `context` is the bus context; `stop` (outliving the bridge) ends every wait when set.
    WebSocketBridge(std::shared_ptr<zmq::context_t> context, const platform::StopSignal& stop);

    /// Connected handler: binds `upgrade.path` to `session`, or closes `session` when another
    /// client holds the path.
    void onConnected(const net::HttpSession::Ptr& session, const net::HttpRequest& upgrade);

    /// Message handler: forwards `payload` unchanged and answers with the reply as one text
    /// frame; without a reply in time, answers {"result":"request could not be processed"}
    /// and closes. A path whose endpoint is not announced open is answered {"result":"offline"}
    /// and stays connected (its service may still come).
    void onMessage(const net::HttpSession::Ptr& session, const std::string& payload,
                   const net::HttpRequest& upgrade);

    /// Closed handler: frees the path if `session` holds it (a refused client holds nothing).
    void onClosed(const net::HttpSession::Ptr& session, const net::HttpRequest& upgrade);

    /// The paths bound at this moment, in order.
    std::vector<std::string> paths() const;

private:
    struct Binding {
        const net::HttpSession* owner;  // identity only; the binding goes before the session
        std::string endpoint;           // "inproc:/" + path
        zmq::socket_t socket;           // REQ; owner's loop thread only
        bool failed = false;            // owner's loop thread only: error frame sent, closing
    };

    void fail(const net::HttpSession::Ptr& session, Binding& binding);

    std::shared_ptr<zmq::context_t> context_;
    const platform::StopSignal& stop_;
    mutable std::mutex mutex_;  // guards paths_ (the map, not the sockets in it)
    std::map<std::string, std::shared_ptr<Binding>> paths_;
};

}  // namespace kinetra::gateway
