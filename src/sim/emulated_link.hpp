// An emulated link module on a pseudo-terminal: a link adapter with its devices, or a
// stop-motion module, speaking the serial protocol to whoever opens the slave path. It owns one
// thread, which sleeps in poll on the terminal and its wake-ups until the next timed event
// (a status message, a pairing step, a motion update) and answers the host. Every public member
// may be called from any thread.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "core/bytes.hpp"
#include "platform/service_thread.hpp"
#include "sim/emulator_core.hpp"
#include "sim/inbound_splitter.hpp"
#include "sim/line_noise.hpp"
#include "sim/link_config.hpp"
#include "sim/pseudo_terminal.hpp"
#include "sim/received.hpp"

namespace kinetra::sim {

/// The emulator as a test sees it at one instant.
struct EmulatorState : LinkModuleState {
    /// Someone has the slave side open (or nobody opened it yet).
    bool terminalOpen = true;
    /// disappear() closed the pseudo-terminal.
    bool disappeared = false;
    /// Frames written, by kind (while the slave side was open and the emulator not silent).
    std::size_t statusMessagesSent = 0;
    std::size_t repliesSent = 0;  // adapter replies and device answers
    /// When the latest status message was handed to the line (for latency measurements).
    Clock::time_point lastStatusSentAt{};
    /// Host frames dropped for a bad checksum or a missing end byte.
    std::size_t framesDiscarded = 0;
    /// Turns of the emulator's loop: stays flat while it has nothing to do.
    std::size_t wakeUps = 0;
};

class EmulatedLink {
public:
    /// Opens a pseudo-terminal and starts the thread. Throws std::system_error when no
    /// pseudo-terminal can be had.
    explicit EmulatedLink(LinkConfig config = {});
    /// Stops and joins the thread, then closes the pseudo-terminal.
    ~EmulatedLink();
    EmulatedLink(const EmulatedLink&) = delete;
    EmulatedLink& operator=(const EmulatedLink&) = delete;

    /// The slave path (/dev/pts/N): what the server opens as the link's serial port.
    const std::string& path() const { return path_; }
    const LinkConfig& config() const { return core_.config(); }

    // --- Faults ----------------------------------------------------------------------------

    Faults faults() const;
    /// Takes effect for everything the emulator does from now on.
    void setFaults(const Faults& faults);
    /// Changes some switches and keeps the others: updateFaults([](Faults& f) { f.silent = true;
    /// }).
    void updateFaults(const std::function<void(Faults&)>& change);
    /// Closes the pseudo-terminal for good, as a link module that is pulled out: the holder of
    /// the slave side sees the line end. The emulator then does nothing until destroyed.
    void disappear();
    /// Writes `bytes` to the line as they are, after whatever is already due.
    void inject(core::ByteView bytes);

    // --- Observation -----------------------------------------------------------------------

    EmulatorState state() const;
    /// Everything received so far, in arrival order.
    std::vector<Received> received() const;
    std::size_t receivedCount() const;

    struct View {
        const std::vector<Received>& received;
        const EmulatorState& state;
    };
    using ViewPredicate = std::function<bool(const View&)>;
    using ReceivedPredicate = std::function<bool(const Received&)>;
    using StatePredicate = std::function<bool(const EmulatorState&)>;

    /// Waits until `predicate` holds, at most `timeout`; checked again whenever the emulator's
    /// thread turns (it received or sent something, a timer ran, the axes moved). False on
    /// timeout. Predicates run under the emulator's lock: they must not call the emulator.
    bool waitFor(const ViewPredicate& predicate, Milliseconds timeout) const;
    /// The first record from index `from` on that satisfies `predicate`, waiting at most
    /// `timeout` for it.
    std::optional<Received> waitForReceived(const ReceivedPredicate& predicate,
                                            Milliseconds timeout, std::size_t from = 0) const;
    bool waitForState(const StatePredicate& predicate, Milliseconds timeout) const;

    // Shorthands for the waits tests use most.

    /// The first host command `command` (and radio command `radio`, when given) from index
    /// `from` on.
    std::optional<Received> waitForCommand(link::AdapterCommand command,
                                           std::optional<link::RadioCommand> radio,
                                           Milliseconds timeout, std::size_t from = 0) const;
    /// The first device message with opcode `opcode` from index `from` on.
    std::optional<Received> waitForDeviceMessage(std::uint8_t opcode, Milliseconds timeout,
                                                 std::size_t from = 0) const;
    /// Waits until the devices are paired over `medium` (none: until they are not paired).
    bool waitForPairing(model::LinkConnectionType medium, Milliseconds timeout) const;

private:
    void run();
    /// One turn's work under the lock: timers, due output. Returns the bytes to write.
    core::Bytes collectOutput(Clock::time_point now, std::vector<Received>& fresh);
    void takeBytes(core::ByteView bytes, Clock::time_point now, std::vector<Received>& fresh);
    void takeUnits(std::vector<InboundUnit>& units, Clock::time_point now,
                   std::vector<Received>& fresh);
    void appendFrame(core::Bytes& out, core::ByteView payload);
    EmulatorState snapshot(Clock::time_point now) const;
    void logTraffic(const std::vector<Received>& fresh) const;

    PseudoTerminal terminal_;  // used by the thread only, once it runs
    const std::string path_;
    WakeEvent wake_;

    mutable std::mutex mutex_;  // guards everything below up to thread_
    mutable std::condition_variable changed_;
    EmulatorCore core_;
    InboundSplitter splitter_;
    LineNoise noise_;
    std::vector<Received> received_;
    core::Bytes injected_;
    bool disappearRequested_ = false;
    bool disappeared_ = false;
    bool terminalOpen_ = true;
    std::size_t statusMessagesSent_ = 0;
    Clock::time_point lastStatusSentAt_{};
    std::size_t repliesSent_ = 0;
    std::size_t wakeUps_ = 0;

    platform::ServiceThread thread_;  // last: started after everything it uses, joined first
};

}  // namespace kinetra::sim
