// What waits to go to the broker, bounded: state and status kept as the newest message per
// topic (optionally no more often than a given interval), replies in a bounded first-in,
// first-out queue. Pure (the time is passed in); owned by the MQTT service thread, which hands
// the broker client one message at a time as its in-flight bound allows.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>

namespace kinetra::mqtt {

/// One PUBLISH.
struct Publication {
    std::string topic;
    std::string payload;
    int qos = 0;
    bool retain = false;
    std::optional<std::string> correlation;  // MQTT 5 Correlation Data, echoed from a request
    bool operator==(const Publication&) const = default;
};

class Outbox {
public:
    using Time = std::chrono::steady_clock::time_point;
    using Duration = std::chrono::steady_clock::duration;

    /// Replies queued at most; one more is dropped (and counted).
    static constexpr std::size_t kMaxQueued = 256;

    /// Keeps `publication` as the newest of its topic, replacing one still waiting there; the
    /// topic goes out at most once per `interval` on average. A message that came a little late
    /// does not hold back the next one: up to half an interval is made up (a status arriving at
    /// the very rate allowed, with the usual jitter, is never delayed by a whole interval).
    /// True when it replaced one.
    bool offerLatest(Publication publication, Duration interval);
    /// Queues `publication` behind the others; false (dropped, counted) when the queue is full.
    bool enqueue(Publication publication);
    /// Forgets what waits on `topic` and when it last went (a link that has gone).
    void forget(const std::string& topic);
    /// Drops what belonged to a connection that went: the queue (replies) and the newest
    /// messages that are not retained (status). Retained state still waiting (a discovery
    /// document's removal, say) stays for the next connection.
    void clear();

    /// The next publication due at `now`: queued ones first, then the topic that has waited
    /// longest. Nothing when nothing is due.
    std::optional<Publication> take(Time now);
    /// When take() has something next: `now` or later; nothing while nothing waits.
    std::optional<Time> nextDue(Time now) const;

    /// The earliest time a message offered on `topic` now could go: nothing for a topic not
    /// seen yet (it would go at once). The service need not look for newer status before then.
    std::optional<Time> allowedFrom(const std::string& topic) const;

    /// Publications refused by a full queue since the start.
    std::uint64_t dropped() const { return dropped_; }

private:
    struct Slot {
        std::optional<Publication> waiting;
        std::uint64_t order = 0;  // when it started waiting: older goes first
        Duration interval{};
        Time allowedAt{};  // the schedule: each send moves it an interval on
        Time dueAt(Time now) const;
    };
    std::map<std::string, Slot> latest_;  // by topic
    std::deque<Publication> queued_;
    std::uint64_t nextOrder_ = 0;
    std::uint64_t dropped_ = 0;
};

}  // namespace kinetra::mqtt
