// The gateway's way to the bus from the network loops: each worker loop has a bus::Route of its
// own and watches its DEALERs from Asio, so a client's request is sent and its reply taken on
// the connection's own thread, with no other thread in between. Used on the loop threads only.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>

#include <zmq.hpp>

#include "bus/route.hpp"
#include "net/event_loop.hpp"

namespace kinetra::gateway {

/// Hands requests to the route of the loop they are made on.
///
/// Each loop's route is made on that loop's thread with its first request, and closed there
/// when the loop stops (net::LoopLocal), after its connections and before the bus context can
/// end; its waiting requests then end without completion. The bounds of bus::Route::Limits hold
/// per loop ("in all" is per loop); a stop passes every one of them.
///
/// A DEALER's ZMQ_FD only tells that its events may have changed, and a send or receive can
/// take that news itself: after every send, every wake of a descriptor and every timer, the
/// route reads each DEALER's events and takes replies until none is readable, and only then
/// waits again. A steady timer wakes the loop for the route's next deadline (a request's
/// patience, the check for closed endpoints).
class LoopRoutes {
public:
    /// `context`: the bus context; it outlives every loop that uses this object.
    explicit LoopRoutes(std::shared_ptr<zmq::context_t> context);

    /// Loop thread of `loop`: sends `request` on that loop's route. Its completion runs on the
    /// same thread: later, or at once when the request is refused (offline, notQueued; also
    /// notQueued once the loop is stopping).
    void send(net::EventLoop& loop, bus::Route::Request request);

    /// DEALERs open on all loops at this moment. Thread-safe.
    std::size_t socketCount() const { return sockets_->load(std::memory_order_relaxed); }

private:
    std::shared_ptr<zmq::context_t> context_;
    // Shared with each loop's route, which may outlive this object until its loop goes.
    std::shared_ptr<std::atomic<std::size_t>> sockets_;
};

}  // namespace kinetra::gateway
