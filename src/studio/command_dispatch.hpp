// Hands OSC- and VISCA-made commands to the bus services without ever waiting for a device,
// through one bus::Route: replies are matched by id, so a slow service never holds up another's.
// Keeps the joystick coalescing: a stick sent faster than the device acts never builds a queue.
// Owned and used by the one input thread (OSC or VISCA) that made it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <zmq.hpp>

#include "bus/route.hpp"
#include "core/log_limiter.hpp"
#include "studio/link_table.hpp"
#include "studio/studio_counters.hpp"

namespace kinetra::studio {

class CommandDispatch {
public:
    /// Requests one OSC source may have waiting on one endpoint before more are refused (a
    /// stick is kept as one).
    static constexpr std::size_t kMaxPending = 8;
    /// A request unanswered this long is given up: the service is gone or stuck.
    static constexpr std::chrono::milliseconds kReplyPatience{3000};

    /// For OSC: logs as "OSC", counts its requests in counters.commandsSent.
    CommandDispatch(std::shared_ptr<zmq::context_t> context, StudioCounters& counters);
    /// For another input: `source` names it in logs and errors, `sent` counts its requests.
    CommandDispatch(std::shared_ptr<zmq::context_t> context, StudioCounters& counters,
                    std::string source, std::atomic<std::uint64_t>& sent);

    /// Sends `request` to `endpoint` for `client` (the OSC source). A joystick request while
    /// another joystick request is pending there waits (only the newest one) for that reply,
    /// so a stick sent faster than the device acts never builds a queue; any other request
    /// drops such a waiting stick, so nothing moves the gear again behind an abort. `stop`: a
    /// stop the server makes itself (the stick let go for lack of refresh), which goes ahead
    /// of everything queued at the bundle. False (logged) when the endpoint is not open or too
    /// much is pending.
    bool send(const std::string& endpoint, const std::string& request, bool joystick,
              SteadyTime now, std::uint64_t client = 0, bool stop = false);

    /// True when no request waits for its reply.
    bool idle() const { return route_.waitingCount() == 0; }
    /// The sockets to poll, in a stable order until the next send or expire.
    std::vector<zmq::socket_ref> sockets() const { return route_.sockets(); }
    /// Takes the replies waiting on every socket (after a poll said some are readable).
    void takeReplies(SteadyTime now);
    /// Gives up requests unanswered for kReplyPatience and drops routes to closed endpoints.
    void expire(SteadyTime now);
    /// When expire() next has something to do; nothing while no route exists.
    std::optional<SteadyTime> nextDeadline() const { return route_.nextDeadline(); }

private:
    // The joystick state of one endpoint.
    struct Sticks {
        bool inFlight = false;
        std::optional<std::string> waiting;  // the newest stick held back
        std::uint64_t waitingClient = 0;
    };
    bool write(const std::string& endpoint, const std::string& request, bool joystick,
               std::uint64_t client, bool stop);
    void answered(const std::string& endpoint, bool joystick, const std::string& request,
                  bus::Outcome outcome, const std::string& reply);
    void problem(const std::string& kind, const std::string& text);

    StudioCounters& counters_;
    const std::string source_;          // "OSC", "VISCA": starts every log line and error
    std::atomic<std::uint64_t>& sent_;  // requests handed to the route
    bus::Route route_;
    std::map<std::string, Sticks> sticks_;
    core::LogLimiter logLimiter_{std::chrono::seconds(5)};  // a flood logs a line per kind each 5 s
    SteadyTime now_{};         // the time of the call in progress, for the log limiter
    bool sending_ = false;     // write() is in route_.send
    bool refusedNow_ = false;  // ... and the route refused the request at once
};

}  // namespace kinetra::studio
