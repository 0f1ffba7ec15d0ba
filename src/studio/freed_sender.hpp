// Sends a FreeD D1 packet per live camera to every target, `rate` times a second, on its own
// thread. Ticks are scheduled on the steady clock from the start (tick n at start + n/rate), so
// a late wake-up never shifts the ticks after it; each wake-up's lateness is recorded.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>

#include "platform/service_thread.hpp"
#include "studio/link_table.hpp"
#include "studio/studio_counters.hpp"
#include "studio/studio_settings.hpp"

namespace kinetra::studio {

class FreedSender {
public:
    /// The cameras to send at a tick: called on the sender thread.
    using LiveCameras = std::function<std::vector<LiveLink>(SteadyTime now)>;

    /// Resolves the targets (one that does not resolve is logged, counted as the last error and
    /// left out) and starts the thread. Sends nothing when no target is left.
    FreedSender(const std::vector<HostPort>& targets, int rate, LiveCameras liveCameras,
                StudioCounters& counters);
    /// Stops and joins the thread.
    ~FreedSender();
    FreedSender(const FreedSender&) = delete;
    FreedSender& operator=(const FreedSender&) = delete;

    /// True once the sender's thread ended after a failure: nothing is sent any more.
    bool failed() const { return thread_.failures() > 0 && !thread_.running(); }

private:
    struct Target {
        std::string name;
        asio::ip::udp::endpoint endpoint;
        std::unique_ptr<asio::ip::udp::socket> socket;
    };
    void run(std::stop_token stop);
    void sendTick(SteadyTime now);

    const std::chrono::nanoseconds period_;
    const LiveCameras liveCameras_;
    StudioCounters& counters_;
    asio::io_context io_;          // only owns the sockets; never run
    std::vector<Target> targets_;  // sender thread after construction

    std::mutex mutex_;  // guards nothing but the wait below; stop requests notify it
    std::condition_variable_any wake_;
    platform::ServiceThread thread_;  // last: joined first
};

}  // namespace kinetra::studio
