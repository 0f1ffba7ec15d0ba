// The receive loop of every studio datagram input (OSC, VISCA), run on the input's own thread:
// one poll over its UDP sockets, its bus replies, an optional wake and the stop signal; then a
// bounded batch from each readable socket, every datagram's source judged before a byte of it
// is read; then the replies, the input's own turn (timers) and the expiry of unanswered requests.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <asio/ip/udp.hpp>

#include "core/log_limiter.hpp"
#include "platform/service_thread.hpp"
#include "studio/command_dispatch.hpp"
#include "studio/link_table.hpp"
#include "studio/source_filter.hpp"
#include "studio/studio_counters.hpp"

namespace kinetra::studio {

class DatagramLoop {
public:
    /// Datagrams taken from a socket before the other sockets, the replies and the timers get
    /// their turn: a flood from one source cannot starve them.
    static constexpr int kDatagramsPerTurn = 256;
    /// The longest sleep while requests wait for their reply, so they are given up in time.
    static constexpr std::chrono::milliseconds kExpiryCheck{1000};

    struct Options {
        std::string name;              ///< "OSC", "VISCA": starts every log line and error
        std::size_t datagramSize = 0;  ///< the longest datagram read whole
        std::atomic<std::uint64_t>* received = nullptr;   ///< every datagram, trusted or not
        std::atomic<std::uint64_t>* untrusted = nullptr;  ///< those from outside the networks
    };

    /// What an input does in the loop; each is called on the input's thread, `now` being the
    /// time of the wake.
    struct Input {
        /// A datagram from a trusted source on the socket at `socket` in run()'s list.
        std::function<void(std::size_t socket, std::span<std::uint8_t> datagram,
                           const asio::ip::udp::endpoint& from, SteadyTime now)>
            take;
        /// Runs once a wake's datagrams and replies have been taken (timers, let-go sticks).
        std::function<void(SteadyTime now)> afterWake;
        /// When the input next has something due; nothing while it only waits for datagrams.
        std::function<std::optional<SteadyTime>(SteadyTime now)> nextDeadline;
        /// A descriptor another thread makes readable to hand this one work (-1: none), and
        /// what to do then; `onWake` must make it unreadable again.
        int wakeFd = -1;
        std::function<void(SteadyTime now)> onWake;
    };

    DatagramLoop(Options options, const SourceFilter& filter, StudioCounters& counters);

    /// Serves `sockets` (which must outlive the call) until `thread` is asked to stop. A
    /// failure of one turn is logged and the next turn goes on; a closed bus ends the loop.
    void run(platform::ServiceThread& thread, std::span<asio::ip::udp::socket* const> sockets,
             CommandDispatch& dispatch, const Input& input);

    /// Logs `text` behind the input's name, at most one line per `kind` every 5 s; a `problem`
    /// is a warning and becomes the input's last error, anything else is information.
    void log(std::string_view kind, const std::string& text, bool problem, SteadyTime now);

private:
    void receive(asio::ip::udp::socket& socket, std::size_t index, const Input& input,
                 SteadyTime now);
    int pollTimeout(const CommandDispatch& dispatch, const Input& input, SteadyTime now) const;

    const Options options_;
    const SourceFilter& filter_;
    StudioCounters& counters_;
    // The input's thread only.
    core::LogLimiter logLimiter_{std::chrono::seconds(5)};
    std::vector<std::uint8_t> buffer_;
};

}  // namespace kinetra::studio
