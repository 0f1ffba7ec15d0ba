// VISCA over IP in: one UDP socket per [visca] ports entry, each a camera for one link, read by
// the VISCA thread. It judges each datagram's source, hands it to that port's ViscaCamera, sends
// the camera's replies and hands its commands to the bus services through CommandDispatch
// (never waiting for a device); between datagrams it runs the cameras' timers (drive keep-alive
// and timeout, focus steps) and, when a bundle's status arrives, their Completions.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>

#include "platform/service_thread.hpp"
#include "platform/wake_signal.hpp"
#include "studio/command_dispatch.hpp"
#include "studio/datagram_loop.hpp"
#include "studio/source_filter.hpp"
#include "studio/studio_counters.hpp"
#include "studio/studio_settings.hpp"
#include "studio/visca_camera.hpp"

namespace kinetra::studio {

class ViscaReceiver {
public:
    /// The latest status of a link, asked on the VISCA thread; must be thread-safe.
    using ViewLookup = std::function<std::optional<LinkView>(std::string_view linkId)>;

    /// Binds every port of `settings.visca` and starts the thread. Throws std::system_error
    /// when a socket cannot be bound (none is left open then).
    ViscaReceiver(const StudioSettings& settings, ViewLookup view, StudioCounters& counters);
    /// Stops and joins the thread, then closes the sockets.
    ~ViscaReceiver();
    ViscaReceiver(const ViscaReceiver&) = delete;
    ViscaReceiver& operator=(const ViscaReceiver&) = delete;

    /// A bundle's status has arrived (the studio's feed thread calls this for each). Wakes the
    /// VISCA thread only while a command waits for a status. Thread-safe, never blocks.
    void statusArrived() noexcept;

private:
    struct Port {
        asio::ip::udp::socket socket;
        std::unique_ptr<visca::ViscaCamera> camera;
    };
    void run();
    visca::ViscaCamera::Sent send(const BundleCommand& command, SteadyTime now, bool stop = false);
    visca::ViscaCamera::Sent sendStop(const BundleCommand& command, SteadyTime now);
    void reply(Port& port, const asio::ip::udp::endpoint& to, const core::Bytes& datagram);
    std::optional<SteadyTime> nextDeadline(SteadyTime now) const;
    /// After each wake: the cameras' timers, and whether a status is awaited.
    void tick(SteadyTime now);

    const ViewLookup view_;
    const SourceFilter filter_;

    // VISCA thread only, after construction.
    asio::io_context io_;  // only owns the sockets; never run
    std::vector<Port> ports_;
    CommandDispatch dispatch_;
    DatagramLoop loop_;
    SteadyTime now_{};  // the time of the turn being handled, for the cameras' hooks

    std::atomic<bool> awaitingStatus_{false};  // some camera waits for a status
    platform::WakeSignal statusWake_;
    platform::ServiceThread thread_;  // last: joined first
};

}  // namespace kinetra::studio
