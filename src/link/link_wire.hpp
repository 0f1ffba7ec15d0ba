// The bytes on one link's wire: the open serial port, the reader thread that cuts what arrives
// into frames and routes each one (a reply to the waiting sender, a status message to its sink,
// pairing news to the owner), and the send operations, each one transaction under one lock.
// Owned by the LinkHandler; the reader is joined before the port closes.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <zmq.hpp>

#include "core/bytes.hpp"
#include "link/frame_codec.hpp"
#include "link/link_session.hpp"
#include "link/link_statistics.hpp"
#include "link/preemption.hpp"
#include "link/reply.hpp"
#include "link/response_mailbox.hpp"
#include "model/link_info.hpp"
#include "platform/service_thread.hpp"
#include "platform/stop_signal.hpp"
#include "serial/serial_port.hpp"

namespace kinetra::link {

/// What the wire needs of the link it carries. Every callback runs on the reader thread, except
/// `connection`, which the senders call too.
struct WireHooks {
    /// The medium the record names: how messages are wrapped and which replies are theirs.
    std::function<model::LinkConnectionType()> connection;
    /// A status message paired the link over `medium`.
    std::function<void(model::LinkConnectionType medium)> becomePaired;
    /// Takes each status message. Empty: status messages are pushed to the bundle's
    /// update_status endpoint on the bus.
    std::function<void(core::ByteView message)> status;
    /// The line ended (hang-up, end of file or a read error); called once. May be empty.
    std::function<void()> lineClosed;
};

class LinkWire {
public:
    /// Opens and configures `info.portName`. A port that cannot be opened raises the
    /// notification "Link connection could not open." and throws
    /// std::runtime_error("Serial Port could not open.").
    LinkWire(const model::LinkInfo& info, LinkFlags& flags, const platform::StopSignal& stop,
             WireHooks hooks, int longReplyRounds);
    /// Joins the reader, closes the sockets and leaves the port at 19200 baud with both buffers
    /// discarded.
    ~LinkWire();
    LinkWire(const LinkWire&) = delete;
    LinkWire& operator=(const LinkWire&) = delete;

    /// Connects the status outlet when there is no status hook. Bus errors escape as
    /// zmq::error_t.
    void setUpSockets(zmq::context_t& context);
    /// Starts the reader thread; it ends once the stop signal is set. A reader that fails ends
    /// this link only: its line is closed (closeLine) and the failure logged and notified.
    void startReader();
    void joinReader();

    /// True once the reader saw the serial line end (module unplugged, far side closed), or a
    /// thread of the link failed and closed it.
    bool isLineClosed() const { return lineClosed_.load(); }
    /// Marks the line closed and tells the owner (the lineClosed hook), once: the device service
    /// then takes the link down as it does an unplugged one. Any thread of the link.
    void closeLine();

    /// Wakes a sender waiting for its reply, so that it sees the stop or its preemption.
    void wakeSender() { mailbox_.wake(); }

    // --- Send operations: each is one transaction (see transact), no other frame or reply
    // interleaves. A set `preemption` (the bundle's commands pass one) ends the wait at once
    // and keeps any further attempt from being written; the operation then returns no reply.
    /// Writes `message` wrapped for the connection; waits for nothing.
    void sendPlain(core::ByteView message);
    /// The same without acknowledgement on the CAN bus.
    void sendUnacknowledged(core::ByteView message, const Preemption* preemption = nullptr);
    /// Up to 3 attempts (one for a module): `frame` as it is, a reply beginning with `header`.
    std::optional<Reply> sendAdapterCommand(core::ByteView frame, const ReplyHeader& header);
    /// One write, then one long wait (`longReplyRounds` reply waits) for `header`.
    std::optional<Reply> sendAdapterCommandLong(core::ByteView frame, const ReplyHeader& header);
    /// Up to 3 attempts (one for a module): `message` wrapped, any reply that comes after it
    /// (an adapter's reply, or the acknowledgement of this very message).
    std::optional<Reply> sendWithRetry(core::ByteView message,
                                       const Preemption* preemption = nullptr);
    /// Up to `attempts` attempts (one for a module): device message `message` wrapped, its own
    /// acknowledgement and nothing else. Returns the acknowledge byte's new value.
    std::optional<Reply> sendAcknowledged(core::ByteView message, int attempts,
                                          const Preemption* preemption = nullptr);
    /// Up to 3 attempts: `message` wrapped, the device's reply with `messageId`.
    std::optional<Reply> sendAndMatch(core::ByteView message, std::uint8_t messageId,
                                      std::uint8_t deviceAddress,
                                      const Preemption* preemption = nullptr);

    /// The link's health counters; any thread.
    const LinkStatistics& statistics() const { return statistics_; }

    // --- Timings ---------------------------------------------------------------------------
    static constexpr int kAttempts = 3;
    /// How long one attempt waits for its reply; the wait ends as soon as the reply arrives.
    static constexpr std::chrono::milliseconds kReplyWait{125};
    static constexpr std::chrono::milliseconds kLongRoundPause{5};
    static constexpr std::chrono::milliseconds kWriteTimeout{5};
    static constexpr std::chrono::milliseconds kUnacknowledgedWriteTimeout{20};
    static constexpr std::chrono::milliseconds kLongWriteTimeout{500};

private:
    /// How a transaction's bytes are written.
    enum class Framing : std::uint8_t {
        asIs,                   ///< a frame (or a module's device message) exactly as given
        wrapped,                ///< a device message wrapped for the connection
        wrappedUnacknowledged,  ///< the same, unacknowledged on the CAN bus
    };
    /// One transaction: what is written how often, and what it waits for after each write.
    struct Transaction {
        core::ByteView bytes;
        Framing framing = Framing::wrapped;
        /// A device message: once a device has it, it may move the acknowledge byte.
        bool deviceMessage = true;
        Awaited awaited = Awaited::nothing;
        ReplyHeader header{};  ///< for Awaited::header
        int attempts = 1;
        std::chrono::milliseconds writeTimeout = kWriteTimeout;
        std::chrono::milliseconds wait = kReplyWait;  ///< after each attempt
        bool logRetries = false;
        const Preemption* preemption = nullptr;
    };

    /// The one transaction routine, under transaction_: for each attempt, write (noting in the
    /// ledger a device message that may be acknowledged) and wait for what is awaited, taking
    /// only what matches this transaction and arrived after its first write; stop early on the
    /// link's stop or the command's preemption. Returns the reply, or nothing.
    std::optional<Reply> transact(const Transaction& transaction);
    // The caller holds transaction_.
    void writeAttempt(const Transaction& transaction);
    void countWritten(std::size_t written);
    /// True when the transaction in progress is to end: the link stops or the command is
    /// preempted.
    bool abandoned(const Preemption* preemption) const {
        return stop_.isSet() || preempted(preemption);
    }
    bool isModule() const { return linkType_ == model::LinkType::stopMotionModule; }

    // Reader thread.
    void readSerial();
    void route(core::ByteView payload);

    const model::LinkType linkType_;
    const std::string linkId_;
    const int longReplyRounds_;
    LinkFlags& flags_;
    const platform::StopSignal& stop_;
    const WireHooks hooks_;

    std::unique_ptr<serial::SerialPort> port_;
    std::atomic<bool> lineClosed_{false};  // set by the reader thread

    LinkStatistics statistics_;  // relaxed atomics: the sender and the reader count
    const bool counting_ = LinkStatistics::counting();  // the per-frame figures

    // One link transaction at a time: write, wait, retry. Guards encoder_, transactions_ and
    // the sender's side of mailbox_.
    std::mutex transaction_;
    FrameEncoder encoder_;
    std::uint64_t transactions_ = 0;

    ResponseMailbox mailbox_{statistics_};  // the reader posts, the transaction's sender takes
    zmq::socket_t statusOutlet_;  // PUSH to update_status when there is no status hook, reader

    // Reader thread only.
    FrameDecoder decoder_;
    std::uint8_t lastAcknowledge_ = 0;

    platform::ServiceThread readerThread_;  // last: joined before anything above goes away
};

}  // namespace kinetra::link
