// The MQTT client's way to the bus services: requests to the REP endpoints, never waiting in the
// caller. Today a bus reactor of its own (the gateway's: one thread with its sockets); every
// request the MQTT service makes passes through this narrow class, so moving onto another route
// is a change to this file alone.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <zmq.hpp>

#include "gateway/bus_reactor.hpp"
#include "mqtt/command_plan.hpp"

namespace kinetra::mqtt {

class BusRoute {
public:
    /// Called once per request with how it ended; runs on the route's thread and must only
    /// queue.
    using Done = std::function<void(RouteOutcome outcome, std::string reply)>;

    /// How long a request waits for its reply: as long as the HTTP gateway waits.
    static constexpr std::chrono::milliseconds kReplyTimeout{1000};

    /// Starts the route's thread on `context` (the bus context).
    explicit BusRoute(std::shared_ptr<zmq::context_t> context);
    /// Ends the thread; requests still waiting end without their Done. Idempotent.
    void stop();

    /// Sends `body` to `endpoint`.
    void request(std::string endpoint, std::string body, Done done);
    /// A stop the server makes on its own (the dead-man's zero jog, abortAll): flagged, so it
    /// goes ahead of every ordinary command waiting for that bundle and cancels them.
    void requestStop(std::string endpoint, std::string body, Done done);

private:
    void submit(std::string endpoint, std::string body, Done done, bool stop);

    gateway::BusReactor reactor_;
    // MQTT is one client of the bundles: its waiting requests are bounded together.
    const std::uint64_t client_ = gateway::BusReactor::newClientKey();
};

}  // namespace kinetra::mqtt
