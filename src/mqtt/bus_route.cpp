// The route over the gateway's bus reactor; its callbacks run on the reactor thread.
#include "mqtt/bus_route.hpp"

#include "bus/endpoints.hpp"
#include "bus/feed.hpp"
#include "core/json.hpp"

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
    reactor_.submit(gateway::BusReactor::Request{
        std::move(endpoint), std::move(body), kReplyTimeout, true,
        [done = std::move(done)](gateway::Outcome outcome, std::string reply) {
            done(outcomeOf(outcome), std::move(reply));
        }});
}

void BusRoute::requestStop(std::string endpoint, std::string body, Done done) {
    request(std::move(endpoint), std::move(body), std::move(done));
}

std::uint64_t BusRoute::follow(std::string topic, OnMessage onMessage) {
    return reactor_.subscribe(std::move(topic), std::move(onMessage));
}

std::uint64_t BusRoute::followLinks(OnMessage onMessage) {
    // The feed carries changes only: the list as it is now comes from linkStatus's "data".
    gateway::BusReactor::Snapshot snapshot{
        std::string(bus::kDeviceEndpoint), R"({"command":"linkStatus"})",
        [](gateway::Outcome outcome, const std::string& reply) -> std::optional<std::string> {
            if (outcome != gateway::Outcome::reply) {
                return std::nullopt;
            }
            const json parsed = json::parse(reply, nullptr, false);
            if (!parsed.is_object() || !parsed.contains("data")) {
                return std::nullopt;
            }
            return core::dumpCompact(parsed["data"]);
        }};
    return reactor_.subscribe(std::string(bus::kLinksTopic), std::move(onMessage),
                              std::move(snapshot));
}

void BusRoute::unfollow(std::uint64_t token) {
    reactor_.unsubscribe(token);
}

}  // namespace kinetra::mqtt
