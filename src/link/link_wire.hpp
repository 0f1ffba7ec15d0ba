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
#include <thread>

#include <zmq.hpp>

#include "core/bytes.hpp"
#include "link/frame_codec.hpp"
#include "link/link_session.hpp"
#include "link/preemption.hpp"
#include "link/reply.hpp"
#include "link/response_mailbox.hpp"
#include "model/link_info.hpp"
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
    /// Starts the reader thread; it ends once the stop signal is set.
    void startReader();
    void joinReader();

    /// True once the reader saw the serial line end (module unplugged, far side closed).
    bool isLineClosed() const { return lineClosed_.load(); }

    /// Wakes a sender waiting for its reply, so that it sees the stop or its preemption.
    void wakeSender() { mailbox_.wake(); }

    // --- Send operations: each is one transaction, no other frame or reply interleaves -------
    // A set `preemption` (the bundle's commands pass one) ends the wait at once and keeps any
    // further attempt from being written; the operation then returns no reply.
    /// Writes `message` wrapped for the connection; waits for nothing.
    void sendPlain(core::ByteView message);
    /// The same without acknowledgement on the CAN bus.
    void sendUnacknowledged(core::ByteView message, const Preemption* preemption = nullptr);
    /// Up to 3 attempts (one for a module): `frame` as it is, a reply beginning with `header`.
    std::optional<Reply> sendAdapterCommand(core::ByteView frame, const ReplyHeader& header);
    /// One write, then up to `longReplyRounds` reply waits with a short pause between them.
    std::optional<Reply> sendAdapterCommandLong(core::ByteView frame, const ReplyHeader& header);
    /// Up to 3 attempts (one for a module): `message` wrapped, any reply.
    std::optional<Reply> sendWithRetry(core::ByteView message,
                                       const Preemption* preemption = nullptr);
    /// Up to 3 attempts: `message` wrapped, the device's reply with `messageId`.
    std::optional<Reply> sendAndMatch(core::ByteView message, std::uint8_t messageId,
                                      std::uint8_t deviceAddress,
                                      const Preemption* preemption = nullptr);

    // --- Timings ---------------------------------------------------------------------------
    static constexpr int kAttempts = 3;
    /// How long one attempt waits for its reply; the wait ends as soon as the reply arrives.
    static constexpr std::chrono::milliseconds kReplyWait{125};
    static constexpr std::chrono::milliseconds kLongRoundPause{5};
    static constexpr std::chrono::milliseconds kWriteTimeout{5};
    static constexpr std::chrono::milliseconds kUnacknowledgedWriteTimeout{20};
    static constexpr std::chrono::milliseconds kLongWriteTimeout{500};

private:
    // The caller holds transaction_.
    void flushResponses();
    std::optional<Reply> awaitResponse(const Preemption* preemption = nullptr);
    std::optional<Reply> awaitMatchingResponse(const ReplyHeader& header,
                                               const Preemption* preemption = nullptr);
    /// True when the attempt in progress is to end: the link stops or the command is
    /// preempted.
    bool abandoned(const Preemption* preemption) const {
        return stop_.isSet() || preempted(preemption);
    }
    void writeWrapped(core::ByteView message, Delivery delivery, std::chrono::milliseconds timeout);
    void write(core::ByteView bytes, std::chrono::milliseconds timeout);

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

    // One link transaction at a time: flush, write, wait. Guards encoder_ and the sender's
    // side of mailbox_.
    std::mutex transaction_;
    FrameEncoder encoder_;

    ResponseMailbox mailbox_;     // the reader posts, the sender holding transaction_ takes
    zmq::socket_t statusOutlet_;  // PUSH to update_status when there is no status hook, reader

    // Reader thread only.
    FrameDecoder decoder_;
    std::uint8_t lastAcknowledge_ = 0;

    std::jthread readerThread_;  // last: joined before anything above goes away
};

}  // namespace kinetra::link
