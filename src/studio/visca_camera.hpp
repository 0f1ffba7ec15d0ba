// One VISCA camera: the bundle of one link as its controllers see it on one UDP port. Takes each
// datagram, keeps what the protocol needs between them (each controller's sequence numbers and
// rate, the drive and focus drive that run, the command waiting for its Completion) and says
// what goes out: replies to controllers, commands to the bundle. Pure: the time, the bundle's
// status and the way to the bus come from outside. Owned and used by the VISCA thread.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include <asio/ip/udp.hpp>

#include "studio/link_table.hpp"
#include "studio/osc_mapping.hpp"
#include "studio/studio_counters.hpp"
#include "studio/studio_settings.hpp"
#include "studio/visca_codec.hpp"
#include "studio/visca_mapping.hpp"

namespace kinetra::studio::visca {

/// While a drive lasts its joystickMove is sent again this often: the gear lets a stick go when
/// it is not refreshed (the emulated gear after 500 ms).
inline constexpr std::chrono::milliseconds kDriveRepeat{200};
/// A command whose status shows neither its start nor its result this long after its planned
/// end is answered "not executable".
inline constexpr std::chrono::milliseconds kStartPatience{2000};
/// Commands a controller may send to the bundle: this many a second, in bursts of kCommandBurst
/// (stops are never held back); more are answered "command buffer full".
inline constexpr double kCommandsPerSecond = 50.0;
inline constexpr double kCommandBurst = 25.0;
/// A stop sent this recently is not sent again while nothing else went to the bundle.
inline constexpr std::chrono::milliseconds kStopRepeat{100};
/// Controllers a camera keeps apart; a new one beyond them takes the place of the longest silent.
inline constexpr std::size_t kMaxControllers = 32;
/// A controller silent this long is new again: its sequence numbers start afresh.
inline constexpr std::chrono::seconds kControllerMemory{60};

class ViscaCamera {
public:
    using Endpoint = asio::ip::udp::endpoint;
    enum class Sent : std::uint8_t { ok, busy, closed };

    /// The camera's ways out, all called on the VISCA thread.
    struct Hooks {
        /// Hands a command to the bus without waiting; `stop` marks the server's own stops (a
        /// drive's end), which go ahead of other commands.
        std::function<Sent(const BundleCommand& command, bool stop)> send;
        /// Sends one reply datagram to a controller.
        std::function<void(const Endpoint& to, const Bytes& datagram)> reply;
        /// The bundle's latest status; nothing when it is not paired or its status is stale.
        std::function<std::optional<LinkView>()> view;
        /// A line for the log: a problem of `kind` (rate-limited by kind, shown as the last
        /// error) when `problem`, else a notice.
        std::function<void(std::string_view kind, const std::string& text, bool problem)> log;
    };

    ViscaCamera(std::string linkId, const ViscaSettings& settings, Hooks hooks,
                ViscaCounters& counters);

    const std::string& linkId() const { return linkId_; }
    /// Takes one datagram from `from` (a trusted source).
    void take(ByteView datagram, const Endpoint& from, SteadyTime now);
    /// A status of some bundle arrived: a command waiting for its Completion looks again.
    void statusArrived(SteadyTime now);
    /// Runs what is due at `now`: drive repeats and timeouts, focus steps, waits given up.
    void tick(SteadyTime now);
    /// When tick() has something to do next, seen at `now`; nothing while idle.
    std::optional<SteadyTime> nextDeadline(SteadyTime now) const;
    /// True while a command waits for a status to show it done.
    bool awaitsStatus() const { return pending_.has_value(); }

private:
    // Who asked for something, and how its replies are addressed.
    struct Asker {
        Endpoint to;
        std::uint32_t sequence = 0;
        std::uint8_t address = 1;
    };
    struct Controller {
        SteadyTime heard{};
        std::optional<std::uint32_t> sequence;  // of the last message taken
        Bytes payload;                          // of the last message taken
        double tokens = kCommandBurst;
        SteadyTime refilled{};
    };
    struct Drive {
        Endpoint owner;
        BundleCommand command;
        SteadyTime sentAt;
    };
    struct FocusRun {
        Endpoint owner;
        int direction = 0;
        std::uint8_t speed = 0;
        SteadyTime nextStep;
    };
    struct Pending {
        Asker asker;
        Done done;
        SteadyTime sentAt;
        bool moving = false;  // a status since the command has shown the bundle moving
    };

    Controller& controllerFor(const Endpoint& from, SteadyTime now);
    bool admit(Controller& controller, SteadyTime now);
    void perform(const Request& request, const Asker& asker, SteadyTime now);
    void drive(const PanTiltDrive& drive, const Asker& asker, SteadyTime now);
    void plan(const Mapped& mapped, const Asker& asker, bool takesGear, SteadyTime now);
    void focus(const FocusDrive& focus, const Asker& asker, SteadyTime now);
    void answer(const Inquiry& inquiry, const Asker& asker);
    /// Hands `command` to the bus; false (the asker told why) when it did not go.
    bool send(const BundleCommand& command, bool stop, const Asker& asker, SteadyTime now);
    Sent dispatch(const BundleCommand& command, bool stop, SteadyTime now);
    /// True when `sent` says the command went; else tells the asker why not.
    bool delivered(Sent sent, const Asker& asker);
    /// For a command that takes the gear: the command waiting for its Completion is cancelled
    /// (after the new one is on its way, so the gear need not wait for that reply), then as
    /// delivered().
    bool takeOver(Sent sent, const Asker& asker);
    void accepted(const Asker& asker, const Done& done, SteadyTime now);
    void cancelPending();
    void evaluate(SteadyTime now);
    void failPending(const std::string& reason);
    void notExecutable(const Asker& asker, std::uint8_t socket, const std::string& reason);
    void refuse(const Endpoint& to, std::uint32_t sequence, std::uint8_t what,
                const std::string& reason);
    bool owns(const Endpoint& endpoint) const;

    const std::string linkId_;
    const ViscaSettings settings_;
    const Hooks hooks_;
    ViscaCounters& counters_;
    std::map<Endpoint, Controller> controllers_;
    std::optional<Drive> drive_;
    std::optional<FocusRun> focus_;
    std::optional<Pending> pending_;  // one command socket: the command awaiting Completion
    bool stopped_ = false;            // the last command sent was a stop, at stopSentAt_
    SteadyTime stopSentAt_{};
};

}  // namespace kinetra::studio::visca
