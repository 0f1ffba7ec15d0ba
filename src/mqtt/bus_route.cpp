// The route over the gateway's bus reactor; completions run on the reactor thread.
#include "mqtt/bus_route.hpp"

#include "bus/envelope.hpp"

namespace kinetra::mqtt {
namespace {

RouteOutcome outcomeOf(gateway::Outcome outcome) {
    switch (outcome) {
        case gateway::Outcome::reply:
            return RouteOutcome::reply;
        case gateway::Outcome::noReply:
            return RouteOutcome::noReply;
        case gateway::Outcome::offline:
            return RouteOutcome::offline;
        case gateway::Outcome::notQueued:
            break;
    }
    return RouteOutcome::notQueued;
}

}  // namespace

BusRoute::BusRoute(std::shared_ptr<zmq::context_t> context) : reactor_(std::move(context)) {}

void BusRoute::stop() {
    reactor_.stop();
}

void BusRoute::request(std::string endpoint, std::string body, Done done) {
    // A client's motionAbort is a stop as it is over HTTP: ahead of everything queued.
    const bool stop = bus::isMotionAbort(body);
    submit(std::move(endpoint), std::move(body), std::move(done), stop);
}

void BusRoute::requestStop(std::string endpoint, std::string body, Done done) {
    submit(std::move(endpoint), std::move(body), std::move(done), true);
}

void BusRoute::submit(std::string endpoint, std::string body, Done done, bool stop) {
    reactor_.submit(gateway::BusReactor::Request{
        std::move(endpoint), std::move(body), kReplyTimeout, true,
        [done = std::move(done)](gateway::Outcome outcome, std::string reply) {
            done(outcomeOf(outcome), std::move(reply));
        },
        client_, stop});
}

}  // namespace kinetra::mqtt
