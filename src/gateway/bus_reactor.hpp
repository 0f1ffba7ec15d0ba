// The gateway's one bus thread. Network threads hand it requests and feed subscriptions and
// never wait on the bus themselves; it owns every bus socket the gateway uses for clients and
// calls each completion on its own thread (callers post them on to their connection's loop).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include <zmq.hpp>

#include "platform/stop_signal.hpp"
#include "platform/wake_signal.hpp"

namespace kinetra::gateway {

/// How a request ended.
enum class Outcome {
    reply,      ///< the service answered; the text is its reply, unchanged
    noReply,    ///< no reply within the request's time-out
    offline,    ///< the endpoint is not announced open (or closed while the request waited)
    notQueued,  ///< the request could not be queued (bounds reached, or the bus refused it)
};

/// Forwards requests to announced REP endpoints and feed messages to subscribers.
///
/// Sockets: one DEALER per announced endpoint that a client has asked (sending ["", body], so a
/// REP service sees an ordinary request), created on first use and closed once its endpoint is
/// no longer open; one SUB on the feed, subscribed to a topic while anyone wants it. A REP
/// answers strictly in order, so each DEALER keeps a FIFO of what it sent: a reply belongs to
/// the oldest entry. An entry that timed out stays in the FIFO, abandoned, until its late reply
/// comes and is dropped. Everything is bounded (see the constants); beyond the bounds a request
/// ends notQueued at once.
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

    /// Entries (waiting or abandoned) per endpoint FIFO.
    static constexpr std::size_t kMaxQueued = 64;
    /// Endpoints with a DEALER at one time (well inside the bus's 1023 sockets).
    static constexpr std::size_t kMaxEndpoints = 256;
    /// Requests waiting for their reply, over all endpoints.
    static constexpr std::size_t kMaxWaiting = 4096;
    /// How often endpoints with waiting requests are checked for having closed.
    static constexpr Milliseconds kClosedCheckInterval{5};
    /// How often, when nothing waits, DEALERs of closed endpoints are looked for.
    static constexpr Milliseconds kSweepInterval{1000};

    struct Request {
        std::string endpoint;  ///< "inproc://..."
        std::string body;      ///< sent unchanged
        Milliseconds timeout{1000};
        /// End with Outcome::offline as soon as the endpoint closes while waiting (else the
        /// request waits out its time-out).
        bool offlineWhenClosed = true;
        Completion done;  ///< empty: fire and forget (the reply is dropped)
        /// A server-made stop: carried ahead of ordinary commands.
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

    /// Sockets the reactor holds at this moment (DEALERs and the SUB); for tests.
    std::size_t socketCount() const;

private:
    struct Waiting {
        Completion done;
        std::string endpoint;
        bool offlineWhenClosed;
    };
    struct Endpoint {
        zmq::socket_t dealer;
        std::deque<std::uint64_t> sent;  // oldest first; 0 or not in waiting_: abandoned
    };
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
    Endpoint* endpointFor(const std::string& name);
    Endpoint* openEndpoint(const std::string& name);
    bool sendOn(Endpoint& endpoint, const std::string& body);
    bool hasWaiting(const Endpoint& endpoint) const;
    void takeReplies(Endpoint& endpoint);
    void takeFeed();
    void expireTimers();
    void checkClosed(bool waitingOnly);
    void complete(std::uint64_t id, Outcome outcome, std::string reply);
    void addSubscriber(std::uint64_t token, std::string topic, FeedCallback callback,
                       std::optional<Snapshot> snapshot);
    void removeSubscriber(std::uint64_t token);
    void primeTopic(const std::string& name, std::optional<std::string> state);
    Milliseconds nextTimeout() const;

    std::shared_ptr<zmq::context_t> context_;

    mutable std::mutex mutex_;  // guards inbox_, stopping_, socketCount_, nextToken_
    std::vector<std::function<void()>> inbox_;
    bool stopping_ = false;
    std::size_t socketCount_ = 0;
    std::uint64_t nextToken_ = 0;

    // Reactor thread only.
    std::unordered_map<std::string, std::unique_ptr<Endpoint>> endpoints_;
    std::unordered_map<std::uint64_t, Waiting> waiting_;
    std::multimap<std::chrono::steady_clock::time_point, std::uint64_t> timers_;
    std::unordered_map<std::string, Topic> topics_;
    std::unordered_map<std::uint64_t, std::string> topicOf_;  // subscriber token -> topic
    std::optional<zmq::socket_t> feed_;                       // made on first subscription
    std::uint64_t nextId_ = 0;
    std::chrono::steady_clock::time_point lastCheck_{};  // closed check of waiting endpoints
    std::chrono::steady_clock::time_point lastSweep_{};  // closed check of all endpoints

    platform::WakeSignal wake_;
    platform::StopSignal stop_;
    std::jthread thread_;  // last: joined before the members it uses go
};

}  // namespace kinetra::gateway
