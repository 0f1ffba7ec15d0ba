// The behaviour of one emulated link module: what a link adapter (or a stop-motion module)
// answers to each host command, its scans, pairing and radio update, the medium its devices are
// paired over, and the status messages they send. Pure: the time is passed in and the payloads
// to send are handed out; runs on the emulator's thread and, for reading, under its lock.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "core/bytes.hpp"
#include "link/adapter_side.hpp"
#include "link/link_states.hpp"
#include "sim/emulated_bundle.hpp"
#include "sim/link_config.hpp"
#include "sim/received.hpp"

namespace kinetra::sim {

enum class OutgoingKind : std::uint8_t {
    reply,   ///< an adapter or radio reply to a host command
    answer,  ///< a device's answer message (numeric limits, key-pose read)
    status,  ///< a device status message
};

/// One payload for the host, to be framed and written at `due`.
struct Outgoing {
    Clock::time_point due;
    core::Bytes payload;
    OutgoingKind kind = OutgoingKind::reply;
};

/// The radio firmware update as the radio saw it.
struct RadioUpdateCounts {
    bool inProgress = false;
    std::size_t begun = 0;   ///< updateBegin commands taken
    std::size_t ended = 0;   ///< updateEnd commands that closed an update
    std::size_t resets = 0;  ///< radioReset commands
    /// Chunks of the current or last update: received, and acknowledged.
    std::size_t chunksReceived = 0;
    std::size_t chunksAcknowledged = 0;
};

/// The link module's side of the state, as a reader sees it.
struct LinkModuleState {
    model::LinkType linkType = model::LinkType::linkAdapter;
    /// The medium the devices are paired over; none until a pairing completes.
    model::LinkConnectionType pairedMedium = model::LinkConnectionType::none;
    link::SelectLink selectedLink = link::SelectLink::none;
    link::WirelessPairState wirelessPairState = link::WirelessPairState::idle;
    link::WirelessPairError wirelessPairError = link::WirelessPairError::none;
    link::CanbusPairState canbusPairState = link::CanbusPairState::idle;
    link::CanbusPairError canbusPairError = link::CanbusPairError::none;
    bool scanning = false;
    RadioUpdateCounts radioUpdate;
    std::size_t identifyCount = 0;
    /// The acknowledge byte the status messages carry now.
    std::uint8_t acknowledge = 0;
    std::size_t deviceMessagesAccepted = 0;
    /// Replies, answers and acknowledgements lost on purpose (Faults::dropEveryNthReply).
    std::size_t repliesDropped = 0;
    /// Whether status messages flow (paired, or a stop-motion module that was woken).
    bool streaming = false;
    BundleState bundle;
};

class EmulatorCore {
public:
    EmulatorCore(LinkConfig config, Clock::time_point powerOn);
    EmulatorCore(const EmulatorCore&) = delete;
    EmulatorCore& operator=(const EmulatorCore&) = delete;

    const LinkConfig& config() const { return config_; }
    const Faults& faults() const { return faults_; }
    void setFaults(const Faults& faults) { faults_ = faults; }

    /// One frame's payload from the host; appends what it held to `log`.
    void receiveFrame(core::ByteView payload, Clock::time_point now, std::vector<Received>& log);
    /// One device message the host wrote without a frame.
    void receiveUnframed(core::ByteView message, Clock::time_point now, std::vector<Received>& log);
    /// Whether the host may be writing device messages without a frame: always to a stop-motion
    /// module, to an adapter while no medium is paired.
    bool acceptsUnframed() const;
    /// The bundle's primary device, whose family decides how device messages read.
    model::DeviceModel primary() const { return bundle_.primary(); }

    /// Runs every timed step due at `now`: pairing steps, acknowledgements, status messages,
    /// the end of a motion.
    void advance(Clock::time_point now);
    /// When advance() has something to do next; nothing when only the host can cause anything.
    std::optional<Clock::time_point> nextDeadline(Clock::time_point now) const;
    /// The payloads due at `now`, in order.
    std::vector<Outgoing> takeDue(Clock::time_point now);

    LinkModuleState state(Clock::time_point now) const;

private:
    struct WirelessPairing {
        Clock::time_point due;
        std::vector<std::size_t> members;
        std::optional<link::WirelessPairError> error;
    };

    void adapterCommand(const link::HostCommand& command, Clock::time_point now,
                        std::vector<Received>& log);
    void radioCommand(const link::HostCommand& command, Clock::time_point now,
                      std::vector<Received>& log);
    void deliver(core::ByteView message, model::LinkConnectionType via, bool answers,
                 Clock::time_point now, std::vector<Received>& log);
    void startWirelessPairing(WirelessPairing pairing, Clock::time_point now);
    WirelessPairing createBundle(core::ByteView body, Clock::time_point now) const;
    WirelessPairing attachToBundle(core::ByteView mac, Clock::time_point now) const;
    void pairOver(model::LinkConnectionType medium, const std::vector<std::size_t>& members,
                  Clock::time_point now);
    void unpair();
    bool streaming() const;

    void reply(core::Bytes payload, Clock::time_point now);
    void queue(core::Bytes payload, Clock::time_point due, OutgoingKind kind);
    void queueStatus(Clock::time_point now);
    /// The payload that carries a device's message up over the paired medium.
    std::optional<core::Bytes> fromDevice(core::ByteView message) const;
    /// Counts one reply; true when the fault says to lose it.
    bool loseReply();

    core::Bytes wirelessScan() const;
    core::Bytes canbusScan() const;

    LinkConfig config_;  // before bundle_, which refers to it
    EmulatedBundle bundle_;
    Faults faults_;

    model::LinkConnectionType medium_ = model::LinkConnectionType::none;
    link::SelectLink selected_ = link::SelectLink::none;
    link::WirelessPairState wirelessState_ = link::WirelessPairState::idle;
    link::WirelessPairError wirelessError_ = link::WirelessPairError::none;
    std::optional<WirelessPairing> wirelessPairing_;
    link::CanbusPairState canbusState_ = link::CanbusPairState::idle;
    link::CanbusPairError canbusError_ = link::CanbusPairError::none;
    std::optional<Clock::time_point> canbusPairingStart_;
    bool scanning_ = false;
    bool scanned_ = false;  // a scan ran since the radio's last reset
    RadioUpdateCounts radio_;
    std::size_t identifyCount_ = 0;
    bool awake_ = false;  // stop-motion module: streams once the host spoke to it

    std::uint8_t acknowledge_ = 0;
    std::deque<Clock::time_point> pendingAcknowledgements_;
    std::size_t accepted_ = 0;
    std::size_t repliesCounted_ = 0;
    std::size_t repliesDropped_ = 0;
    std::optional<Clock::time_point> nextStatus_;
    std::vector<Outgoing> outbox_;  // ordered by due time
};

}  // namespace kinetra::sim
