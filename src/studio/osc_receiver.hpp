// OSC input: a UDP socket on [osc] address:port, read by the OSC thread, which checks each
// datagram's source, decodes it with liblo, maps it to a command and hands that to the bus
// services through CommandDispatch (never waiting for a device). It also keeps the joystick
// dead-man: OSC has no connection whose loss would stop a stick, so a stick not refreshed
// within kStickPatience is let go by the server.
#pragma once

#include <array>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>

#include "platform/service_thread.hpp"
#include "studio/command_dispatch.hpp"
#include "studio/datagram_loop.hpp"
#include "studio/osc_mapping.hpp"
#include "studio/source_filter.hpp"
#include "studio/studio_counters.hpp"
#include "studio/studio_settings.hpp"

namespace kinetra::studio {

/// How long a moving stick lasts without a new joystick message.
inline constexpr std::chrono::milliseconds kStickPatience{500};

class OscReceiver {
public:
    /// What the receiver asks of the studio service; both are called on the OSC thread and
    /// must be thread-safe.
    struct Links {
        AxesLookup axesOf;
        std::function<std::vector<std::string>()> paired;  // in pairing order
    };

    /// Binds [osc] address:port and starts the thread. Throws std::system_error when the
    /// socket cannot be bound.
    OscReceiver(const StudioSettings& settings, Links links, StudioCounters& counters);
    /// Stops and joins the thread, then closes the socket.
    ~OscReceiver();
    OscReceiver(const OscReceiver&) = delete;
    OscReceiver& operator=(const OscReceiver&) = delete;

private:
    struct Stick {
        BundleCommand zero;
        SteadyTime deadline;
        std::uint64_t client = 0;  // the source that moves it
    };
    void run();
    void handle(std::span<std::uint8_t> datagram, const asio::ip::address& source, SteadyTime now);
    void perform(OscAction action, std::uint64_t client, SteadyTime now);
    void sendToBundle(const BundleCommand& command, std::uint64_t client, SteadyTime now,
                      bool stop = false);
    void releaseSticks(SteadyTime now);
    std::optional<SteadyTime> nextDeadline() const;
    void logDropped(const std::string& kind, const std::string& text, SteadyTime now);

    const Links links_;
    const SourceFilter filter_;

    // OSC thread only, after construction.
    asio::io_context io_;  // only owns the socket; never run
    asio::ip::udp::socket socket_;
    CommandDispatch dispatch_;
    std::map<std::string, Stick> sticks_;  // moving sticks by link id
    DatagramLoop loop_;

    platform::ServiceThread thread_;  // last: joined first
};

}  // namespace kinetra::studio
