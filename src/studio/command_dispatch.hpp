// Hands OSC- and VISCA-made commands to the bus services without ever waiting for a device: one
// DEALER per service endpoint, requests sent at once, replies read when the OSC thread's poll sees
// them. A service answers its requests in order, so each reply belongs to the oldest pending one.
// Owned and used by the one input thread (OSC or VISCA) that made it.
#pragma once

#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <zmq.hpp>
#include <zmq_addon.hpp>

#include "studio/link_table.hpp"
#include "studio/rate_limiter.hpp"
#include "studio/studio_counters.hpp"

namespace kinetra::studio {

class CommandDispatch {
public:
    /// Requests pending on one endpoint before more are refused (a stick is kept as one).
    static constexpr std::size_t kMaxPending = 8;
    /// A request unanswered this long: the service is gone; its route is dropped.
    static constexpr std::chrono::milliseconds kReplyPatience{3000};

    /// For OSC: logs as "OSC", counts its requests in counters.commandsSent.
    CommandDispatch(std::shared_ptr<zmq::context_t> context, StudioCounters& counters);
    /// For another input: `source` names it in logs and errors, `sent` counts its requests.
    CommandDispatch(std::shared_ptr<zmq::context_t> context, StudioCounters& counters,
                    std::string source, std::atomic<std::uint64_t>& sent);

    /// Sends `request` to `endpoint`. A joystick request while another joystick request is
    /// pending there waits (only the newest one) for that reply, so a stick sent faster than
    /// the device acts never builds a queue; any other request drops such a waiting stick, so
    /// nothing moves the gear again behind an abort. False (logged) when the endpoint is not
    /// open or too much is pending.
    bool send(const std::string& endpoint, const std::string& request, bool joystick,
              SteadyTime now);

    /// True when no request waits for its reply.
    bool idle() const;
    /// The sockets to poll, in a stable order until the next send or expire.
    std::vector<zmq::socket_ref> sockets();
    /// Takes the replies waiting on every socket (after a poll said some are readable).
    void takeReplies(SteadyTime now);
    /// Drops routes whose oldest request has waited longer than kReplyPatience.
    void expire(SteadyTime now);

private:
    struct Pending {
        bool joystick = false;
        SteadyTime sentAt;
    };
    struct Route {
        zmq::socket_t socket;
        std::deque<Pending> pending;
        std::optional<std::string> waitingStick;
    };
    bool write(const std::string& endpoint, Route& route, const std::string& request, bool joystick,
               SteadyTime now);
    void problem(const std::string& kind, const std::string& text, SteadyTime now);

    std::shared_ptr<zmq::context_t> context_;
    StudioCounters& counters_;
    const std::string source_;
    std::atomic<std::uint64_t>& sent_;
    std::map<std::string, Route> routes_;
    RateLimiter logLimiter_;
};

}  // namespace kinetra::studio
