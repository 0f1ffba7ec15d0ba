// The order in which a bundle carries out the commands it has received. Pure: no locks, no
// clock (the time is passed in); the bundle's receiving thread offers, its sending thread takes,
// both under the bundle's lock.
//
// - Stops (motionAbort, or a request the server tagged as its own stop) go ahead of everything,
//   in their own order, and cancel every ordinary command queued before them; an ordinary
//   command running when a stop comes is to be preempted.
// - Ordinary commands wait in one FIFO per client, served round robin, so one client's forty
//   slow commands cannot starve another's.
// - Bounds per client and in all; a refused request is handed back at once.
// - A request whose sender gave up before it started is not carried out (a move starting
//   seconds after its sender was told "no reply" surprises everyone); it is handed back to be
//   answered anyway. Stops never expire.
// - A client can be held back for a while (the link is not paired yet): its ordinary commands
//   wait; its stops do not.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kinetra::bundle {

struct CommandQueueLimits {
    std::size_t perClient = 64;  ///< ordinary commands one client may have waiting
    std::size_t total = 1024;    ///< everything waiting, stops included
};

class CommandQueue {
public:
    using Clock = std::chrono::steady_clock;
    using TimePoint = Clock::time_point;

    using Limits = CommandQueueLimits;

    /// One request as the bundle received it.
    struct Entry {
        std::string client;                 ///< who asks; compared exactly
        bool stop = false;                  ///< goes ahead and cancels
        std::optional<TimePoint> deadline;  ///< when its sender gives up; none: never
        std::string body;                   ///< the request text
        std::vector<std::string> envelope;  ///< frames the reply goes back with
    };

    enum class Running { none, ordinary, stop };

    struct Offered {
        std::optional<Entry> refused;  ///< the entry itself, when a bound was reached
        std::vector<Entry> cancelled;  ///< ordinary commands a stop cancelled, in arrival order
        std::vector<Entry> expired;    ///< this client's commands whose sender gave up
        bool preempt = false;          ///< a stop came while an ordinary command runs
    };

    struct Taken {
        std::optional<Entry> next;   ///< to carry out now; running until finish()
        std::vector<Entry> expired;  ///< to answer without carrying out
    };

    explicit CommandQueue(Limits limits = {}) : limits_(limits) {}

    /// Queues `entry` (or refuses it) at `now`.
    Offered offer(Entry entry, TimePoint now);
    /// The next command to carry out at `now`, with every entry whose sender has given up.
    /// Nothing to run while a command runs, or while only held clients have commands.
    Taken take(TimePoint now);
    /// The command taken last has been carried out.
    void finish() { running_ = Running::none; }
    Running running() const { return running_; }

    /// Holds `client`'s ordinary commands back until `until`.
    void hold(const std::string& client, TimePoint until);
    /// Ends every hold.
    void releaseHolds() { holds_.clear(); }
    /// When a hold of a client with waiting commands ends (the earliest); nothing when none is
    /// held.
    std::optional<TimePoint> nextRelease() const;

    /// Everything waiting (not the one running).
    std::size_t size() const { return stops_.size() + ordinary_; }

private:
    struct Queued {
        std::uint64_t arrival;
        Entry entry;
    };
    bool held(const std::string& client, TimePoint now) const;
    void dropExpired(TimePoint now, std::vector<Entry>& into, const std::string* onlyClient);
    std::optional<Entry> nextOrdinary(TimePoint now);

    const Limits limits_;
    std::deque<Entry> stops_;
    std::map<std::string, std::deque<Queued>> perClient_;  // ordinary, arrival order
    std::deque<std::string> turn_;                         // clients with entries, next first
    std::map<std::string, TimePoint> holds_;
    std::size_t ordinary_ = 0;
    std::uint64_t arrivals_ = 0;
    Running running_ = Running::none;
};

}  // namespace kinetra::bundle
