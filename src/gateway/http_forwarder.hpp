// Forwards one HTTP request to the bus endpoint of its path through the route of the
// connection's loop and hands the response body back on that loop; keeps the dead-man of jogs
// over HTTP. Called on the network worker threads; never waits on the bus.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "gateway/bus_reactor.hpp"
#include "gateway/jog_guard.hpp"
#include "gateway/jog_refresh.hpp"
#include "gateway/loop_routes.hpp"
#include "net/event_loop.hpp"

namespace kinetra::gateway {

/// Turns (path, body) into the body of the HTTP response, asynchronously. Thread-safe.
class HttpForwarder {
public:
    /// The reply is awaited for at most this long (as 200 tries 5 ms apart once were); an
    /// endpoint that closes meanwhile ends the wait at once.
    static constexpr std::chrono::milliseconds kReplyTimeout{1000};

    /// Receives the response body; runs on the loop thread of the connection given to forward().
    using Done = std::function<void(std::string body)>;

    /// `routes`, `reactor` (for the stops of lapsed jogs) and `guard` outlive this object.
    HttpForwarder(LoopRoutes& routes, BusReactor& reactor, JogGuard& guard);

    /// Calls `done` with the service's reply unchanged; {"result":"offline"} when the endpoint
    /// is not open or closes while waiting; {"result":"request could not be processed"} when
    /// the request cannot be queued; {"result":"invalid path"} when the body is not JSON; an
    /// empty body when no reply came in time. Called on `loop` (the connection's), where `done`
    /// runs too: later, or at once when the request goes nowhere. `client` (the peer's address)
    /// names the client in the log when its jog lapses; `clientKey` (BusReactor::newClientKey(),
    /// one per connection) is who asks, for the bus's bounds and turns.
    ///
    /// All HTTP clients count as one client of the jog guard, per bundle (a client may send its
    /// jog and its zero on different connections, a browser does): a bundle jogged over HTTP is
    /// sent the zero it is owed once no deflected joystickMove for it came within
    /// JogRefresh::kPatience.
    void forward(std::string_view path, std::string_view body, std::string_view client,
                 std::uint64_t clientKey, net::EventLoop& loop, Done done);

    /// Sends at once the stops still owed for jogs over HTTP, and watches no more. Call before
    /// the reactor stops. Idempotent.
    void stopJogs() { refresh_.stop(); }

private:
    void letGo(const std::string& path, const std::string& client);

    LoopRoutes& routes_;
    BusReactor& reactor_;
    JogGuard& guard_;
    // Bundle path -> the loop that sent its last deflected jog over HTTP: the lapse's zero
    // goes out there, behind that jog on the same socket, so it cannot reach the bundle first.
    std::mutex loopsMutex_;  // guards jogLoops_
    std::unordered_map<std::string, std::weak_ptr<net::EventLoop>> jogLoops_;
    JogRefresh refresh_;  // last: its thread calls letGo()
};

}  // namespace kinetra::gateway
