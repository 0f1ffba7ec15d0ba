// Forwards one HTTP request to the bus endpoint of its path through the bus reactor and hands
// the response body back on the connection's loop. Called on the network worker threads;
// never waits on the bus.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

#include "gateway/bus_reactor.hpp"
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

    /// `reactor` outlives this object.
    explicit HttpForwarder(BusReactor& reactor) : reactor_(reactor) {}

    /// Calls `done` with the service's reply unchanged; {"result":"offline"} when the endpoint
    /// is not open or closes while waiting; {"result":"request could not be processed"} when
    /// the request cannot be queued; {"result":"invalid path"} when the body is not JSON; an
    /// empty body when no reply came in time. `done` runs on `loop` (the connection's; `done`
    /// must hold the connection, which keeps its loop alive), or at
    /// once on the calling thread when no bus is involved.
    void forward(std::string_view path, std::string_view body, net::EventLoop& loop, Done done);

private:
    BusReactor& reactor_;
};

}  // namespace kinetra::gateway
