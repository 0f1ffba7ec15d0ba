// A bus thread for what does not belong to one network loop: the feed's subscriptions and the
// stops sent for lapsed HTTP jogs (the gateway's), and the MQTT door's requests. Callers hand it
// work and never wait on the bus; it owns its bus sockets and calls each completion on its own
// thread (callers post them on to where they are wanted).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include <zmq.hpp>

#include "bus/route.hpp"
#include "platform/service_thread.hpp"
#include "platform/wake_signal.hpp"

namespace kinetra::gateway {

/// How a request ended (see bus::Route).
using Outcome = bus::Outcome;

/// Forwards requests to announced bus endpoints and feed messages to subscribers.
///
/// Sockets: the bus::Route's DEALERs, one per announced endpoint that a client has asked,
/// created on first use and closed once its endpoint is no longer open; each request carries a
/// tag, so replies are matched by id in any order and a reply that comes after its request gave
/// up is dropped and counted. One SUB on the feed, subscribed to a topic while anyone wants it.
/// Waiting requests are bounded per client and endpoint, per endpoint and in all (see
/// bus::Route::Limits); beyond the bounds a request ends notQueued at once, a stop never does.
///
/// Thread-safety: submit(), subscribe() and unsubscribe() may be called from any thread; they
/// queue work and wake the reactor. Completions and feed callbacks run on the reactor thread
/// and must be quick; they may call those three (which only queue), nothing else of it.
class BusReactor {
public:
    using Milliseconds = std::chrono::milliseconds;
    /// Called once per request with its outcome and, for Outcome::reply, the reply text.
    using Completion = std::function<void(Outcome outcome, std::string reply)>;
    /// Called with the body of each feed message on the subscribed topic.
    using FeedCallback = std::function<void(const std::string& body)>;

    struct Request {
        std::string endpoint;  ///< "inproc://..."
        std::string body;      ///< sent unchanged
        Milliseconds timeout{1000};
        /// End with Outcome::offline as soon as the endpoint closes while waiting (else the
        /// request waits out its time-out).
        bool offlineWhenClosed = true;
        Completion done{};  ///< empty: fire and forget (the reply is dropped)
        /// Who asks (the connection): bounds are kept per client, and a bundle serves its
        /// clients in turn.
        std::uint64_t client = 0;
        /// A stop: the server's own (the dead-man's zero stick) or a client's motionAbort as
        /// bus::isMotionAbort reads it. It passes every bound and goes ahead at the bundle.
        bool stop = false;
    };

    /// How a topic's current state is asked for when a subscriber comes and none is known yet
    /// (the feed only carries changes). `extract` turns the query's outcome into the state, or
    /// nothing when there is none to give.
    struct Snapshot {
        std::string endpoint;
        std::string body;
        std::function<std::optional<std::string>(Outcome outcome, const std::string& reply)>
            extract;
    };

    /// Starts the reactor thread on `context` (the bus context).
    explicit BusReactor(std::shared_ptr<zmq::context_t> context);
    /// Stops and joins the thread.
    ~BusReactor();
    BusReactor(const BusReactor&) = delete;
    BusReactor& operator=(const BusReactor&) = delete;

    /// Runs what was queued before (fire-and-forget requests are still sent), then ends the
    /// thread and closes its sockets. Waiting requests end without completion. Idempotent.
    void stop();

    /// Queues `request`. After stop() it is dropped.
    void submit(Request request);

    /// Adds a subscriber of `topic` (compared exactly). With `snapshot`, the subscriber first
    /// gets the topic's current state: the last message the feed brought while the topic had
    /// subscribers, else the snapshot query's answer. Returns the subscription's token.
    std::uint64_t subscribe(std::string topic, FeedCallback callback,
                            std::optional<Snapshot> snapshot = std::nullopt);

    /// Removes a subscriber; its callback is not called after the reactor has taken this.
    void unsubscribe(std::uint64_t token);

    /// A client key no other client of this process has had: one per connection.
    /// Thread-safe.
    static std::uint64_t newClientKey();

    /// Sockets the reactor holds at this moment (DEALERs and the SUB); for tests.
    std::size_t socketCount() const;

private:
    struct Topic {
        std::map<std::uint64_t, FeedCallback> subscribers;
        bool stateful = false;
        bool querying = false;
        std::optional<std::string> latest;    // stateful topics only
        std::vector<std::uint64_t> unprimed;  // subscribers waiting for the snapshot
    };

    void post(std::function<void()> work);
    void run();
    void takeInbox();
    void handleRequest(Request request);
    void takeFeed();
    void addSubscriber(std::uint64_t token, std::string topic, FeedCallback callback,
                       std::optional<Snapshot> snapshot);
    void removeSubscriber(std::uint64_t token);
    void primeTopic(const std::string& name, std::optional<std::string> state);
    Milliseconds nextTimeout() const;
    void countSockets();

    std::shared_ptr<zmq::context_t> context_;

    mutable std::mutex mutex_;  // guards inbox_, stopping_, socketCount_, nextToken_
    std::vector<std::function<void()>> inbox_;
    bool stopping_ = false;
    std::size_t socketCount_ = 0;
    std::uint64_t nextToken_ = 0;

    // Reactor thread only.
    std::optional<bus::Route> route_;  // made and destroyed on the reactor thread
    std::unordered_map<std::string, Topic> topics_;
    std::unordered_map<std::uint64_t, std::string> topicOf_;  // subscriber token -> topic
    std::optional<zmq::socket_t> feed_;                       // made on first subscription

    platform::WakeSignal wake_;
    platform::ServiceThread thread_;  // last: joined before the members it uses go
};

}  // namespace kinetra::gateway
