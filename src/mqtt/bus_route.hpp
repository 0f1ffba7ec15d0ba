// The MQTT client's one way onto the bus: requests to the REP services and the feed topics it
// follows, never waiting in the caller. Today a bus reactor of its own (the gateway's: one
// thread with its sockets); everything the MQTT service needs of the bus passes through this
// narrow class, so moving onto another route is a change to this file alone.
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
    /// Called with each feed message's body; runs on the route's thread and must only queue.
    using OnMessage = std::function<void(const std::string& body)>;

    /// How long a request waits for its reply: as long as the HTTP gateway waits.
    static constexpr std::chrono::milliseconds kReplyTimeout{1000};

    /// Starts the route's thread on `context` (the bus context).
    explicit BusRoute(std::shared_ptr<zmq::context_t> context);
    /// Ends the thread; requests still waiting end without their Done. Idempotent.
    void stop();

    /// Sends `body` to `endpoint`.
    void request(std::string endpoint, std::string body, Done done);
    /// A stop the server makes on its own (the dead-man's zero jog, abortAll). It should go
    /// ahead of every ordinary command waiting for that service: this is the one place where
    /// such a request is to be marked so once the route can; today it is an ordinary request.
    void requestStop(std::string endpoint, std::string body, Done done);

    /// Follows the feed topic `topic` (compared exactly); returns a token for unfollow().
    std::uint64_t follow(std::string topic, OnMessage onMessage);
    /// Follows the list of links: the current list first (asked of the device service), then
    /// every change.
    std::uint64_t followLinks(OnMessage onMessage);
    void unfollow(std::uint64_t token);

private:
    gateway::BusReactor reactor_;
};

}  // namespace kinetra::mqtt
