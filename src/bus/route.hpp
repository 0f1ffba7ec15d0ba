// The way from a front end (gateway, OSC, and the MQTT and VISCA doors to come) to the bus
// services: requests out through one DEALER per endpoint, each reply matched to its request by
// the request tag's id, in whatever order the services answer. Owned and used by one thread,
// which polls sockets() and calls takeReplies() and service() after each wake.
//
// A Route never waits. Every request ends exactly once, with its Completion called on the
// owning thread: the reply, noReply once its patience has passed (a reply that comes later is
// dropped and counted), offline when its endpoint is not announced or closes while it waits,
// notQueued when a bound is reached or the bus refuses it. Usage:
//
//     bus::Route route(context);
//     route.send({.endpoint = "inproc://v1/device", .body = R"({"command":"linkStatus"})",
//                 .client = connectionKey, .done = [](bus::Outcome o, std::string reply) {...}});
//     for (;;) {
//         poll(route.sockets() + own fds, until route.nextDeadline());
//         route.takeReplies();
//         route.service(Clock::now());
//     }
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include <zmq.hpp>

namespace kinetra::bus {

/// How a request ended.
enum class Outcome {
    reply,      ///< the service answered; the text is its reply, unchanged
    noReply,    ///< no reply within the request's patience
    offline,    ///< the endpoint is not announced open (or closed while the request waited)
    notQueued,  ///< a bound was reached, or the bus refused the request
};

/// Bounds on requests waiting for their reply. A stop is exempt from all of them: it must reach
/// its service even when ordinary traffic has filled every slot.
struct RouteLimits {
    std::size_t perClient = 64;  ///< per (endpoint, client): one client cannot take all
    std::size_t perEndpoint = 1024;
    std::size_t waiting = 4096;   ///< over all endpoints
    std::size_t endpoints = 256;  ///< DEALERs at one time (well inside the bus's 1023)
};

class Route {
public:
    using Clock = std::chrono::steady_clock;
    using Milliseconds = std::chrono::milliseconds;
    /// Called once per request with its outcome and, for Outcome::reply, the reply text. Runs
    /// on the owning thread; may call send() (completions are run after the Route's own
    /// bookkeeping, never in the middle of it).
    using Completion = std::function<void(Outcome outcome, std::string reply)>;

    using Limits = RouteLimits;
    /// Told of each DEALER just after it is made (`opened`) and just before it is closed, so an
    /// owner that waits on the sockets' ZMQ_FD can stop watching one before its descriptor goes.
    using SocketWatch = std::function<void(zmq::socket_ref socket, bool opened)>;

    struct Request {
        std::string endpoint;  ///< "inproc://..."
        std::string body;      ///< sent unchanged
        /// Who asks: a connection, an OSC source... Bounds are kept per client, and a service
        /// that queues may serve its clients in turn.
        std::uint64_t client = 0;
        /// How long the sender waits; written into the tag, so a service can drop a request
        /// whose sender has given up before it starts. A fire-and-forget request carries no
        /// patience: the service carries it out whenever its turn comes.
        Milliseconds patience{1000};
        /// A stop the server itself makes (the dead-man's zero stick, a drive time-out). Carried
        /// in the tag, exempt from the bounds. Never set from what a client sent, except for
        /// commands the service itself treats as stops.
        bool stop = false;
        /// End offline as soon as the endpoint closes while waiting (else wait out the
        /// patience).
        bool offlineWhenClosed = true;
        Completion done{};  ///< empty: fire and forget (the reply is dropped uncounted)
    };

    /// How often endpoints with waiting requests are checked for having closed.
    static constexpr Milliseconds kClosedCheckInterval{5};
    /// How often, when nothing waits, DEALERs of closed endpoints are looked for.
    static constexpr Milliseconds kSweepInterval{1000};

    explicit Route(std::shared_ptr<zmq::context_t> context, Limits limits = {},
                   SocketWatch watch = {});
    /// Closes every DEALER (telling the watch); waiting requests end without completion.
    ~Route();
    Route(const Route&) = delete;
    Route& operator=(const Route&) = delete;

    /// Sends `request`, or completes it at once (offline, notQueued).
    void send(Request request);

    /// The DEALERs to poll for replies; valid until the next send() or service().
    std::vector<zmq::socket_ref> sockets() const;
    /// Takes every reply waiting on every DEALER and completes the requests they answer.
    void takeReplies();
    /// For an owner that waits on the DEALERs' ZMQ_FD: whether a DEALER sent on since it was
    /// last received from (or asked) has a reply waiting. A send may take the descriptor's wake
    /// for a reply with it, so those are asked (ZMQ_EVENTS); one last received from until it
    /// had nothing wakes its descriptor for whatever comes next, and costs no question.
    bool sentOnHaveReplies();
    /// Ends requests whose patience has run out (noReply) or whose endpoint closed (offline),
    /// and closes DEALERs of endpoints no longer open.
    void service(Clock::time_point now);
    /// When service() next has something to do; nothing while no DEALER exists.
    std::optional<Clock::time_point> nextDeadline() const;

    /// Requests waiting for their reply.
    std::size_t waitingCount() const { return waiting_.size(); }
    /// DEALERs open at this moment.
    std::size_t socketCount() const { return endpoints_.size(); }
    /// Replies that came after their request was given up (or to no request of this route).
    std::uint64_t lateReplies() const { return lateReplies_; }

private:
    struct Endpoint {
        zmq::socket_t dealer;
        std::size_t pending = 0;  // every waiting request
        std::size_t bounded = 0;  // those counted against the bounds
        std::unordered_map<std::uint64_t, std::size_t> boundedPerClient;
        bool sentOn = false;  // since its replies were last taken, or it was last asked
    };
    struct Waiting {
        Completion done;
        std::string endpoint;
        std::uint64_t client = 0;
        bool offlineWhenClosed = true;
        bool bounded = true;  // counted against the bounds (a stop is not)
        std::multimap<Clock::time_point, std::uint64_t>::iterator deadline;  // in deadlines_
    };
    struct Ready {
        Completion done;
        Outcome outcome;
        std::string reply;
    };

    Endpoint* endpointFor(const std::string& name);
    Endpoint* openEndpoint(const std::string& name);
    bool withinBounds(const Request& request, const std::string& name) const;
    bool sendOn(Endpoint& endpoint, std::uint64_t id, const Request& request);
    void takeRepliesOf(Endpoint& endpoint);
    void complete(std::uint64_t id, Outcome outcome, std::string reply);
    void checkClosed(bool waitingOnly);
    void refuse(Completion& done, Outcome outcome);
    /// Runs the completions gathered so far, unless a completion is running already (its
    /// caller's loop takes them).
    void runReady();
    void tell(Endpoint& endpoint, bool opened);

    std::shared_ptr<zmq::context_t> context_;
    const Limits limits_;
    const SocketWatch watch_;
    std::unordered_map<std::string, std::unique_ptr<Endpoint>> endpoints_;
    std::unordered_map<std::uint64_t, Waiting> waiting_;
    // Each waiting request's, taken out when it ends: an answered request's time-out must not
    // wake the loop later.
    std::multimap<Clock::time_point, std::uint64_t> deadlines_;
    std::vector<Ready> ready_;
    bool running_ = false;
    std::uint64_t nextId_ = 0;
    std::uint64_t lateReplies_ = 0;
    Clock::time_point lastCheck_{};  // closed check of endpoints with waiting requests
    Clock::time_point lastSweep_{};  // closed check of all endpoints
};

}  // namespace kinetra::bus
