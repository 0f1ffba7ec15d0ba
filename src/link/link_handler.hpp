// One open serial port to one link module and everything that happens on it: the reader that
// turns serial bytes into routed frames, the send operations with their waits and retries, the
// link service on inproc://v1/link/<linkID> (and .../detect), and the pollers that learn the
// link's status. Each change of the link record is reported to the device service as it happens.
// Owned by the link's BundleHandler; every thread it starts is joined before it is destroyed.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <zmq.hpp>

#include "core/json.hpp"
#include "link/frame_codec.hpp"
#include "link/link_session.hpp"
#include "model/firmware_catalog.hpp"
#include "model/link_info.hpp"
#include "platform/stop_signal.hpp"
#include "serial/serial_port.hpp"

namespace kinetra::link {

/// The link's slow timings. Tests shorten them; the server uses the defaults.
struct LinkTimings {
    /// The pollers' pause before each request to their own service, and their time limit.
    std::chrono::milliseconds pollerPause{2000};
    std::chrono::milliseconds pollerLimit{10001};
    /// Rounds of a long wait (a radio firmware chunk), each a reply wait and a 5 ms pause.
    int longReplyRounds = 200;
    /// The radio update's pauses after its reset and after it finished.
    std::chrono::milliseconds radioUpdatePause{5000};
};

class LinkHandler : private LinkSession {
public:
    /// Called with true when the link becomes paired and with false when it is unpaired; runs on
    /// the reader, the service or the radio update thread.
    using PairingCallback = std::function<void(bool)>;

    /// Opens and configures `info.portName`, binds and announces the link and detect endpoints
    /// and starts the threads. A port that cannot be opened raises the notification "Link
    /// connection could not open." and throws std::runtime_error("Serial Port could not open.");
    /// bus errors escape as zmq::error_t.
    LinkHandler(model::LinkInfo info, PairingCallback onPairing, LinkTimings timings = {});
    /// Stops (when not yet stopped), joins every thread, closes the sockets and leaves the port
    /// at 19200 baud with both buffers discarded.
    ~LinkHandler() override;

    LinkHandler(const LinkHandler&) = delete;
    LinkHandler& operator=(const LinkHandler&) = delete;

    /// Announces both endpoints closed and makes every wait end without a reply and every
    /// thread finish. Idempotent; callable from any thread.
    void stop();

    // --- Send operations of the bundle side ------------------------------------------------
    /// Writes `message` wrapped for the connection (the CAN bus without acknowledgement);
    /// waits for nothing.
    void sendUnacknowledged(core::ByteView message);
    /// Up to 3 attempts: writes `message` wrapped for the connection, waits for any reply.
    std::optional<Reply> sendWithRetry(core::ByteView message) override;
    /// Up to 3 attempts: writes `message` wrapped for the connection, waits for the device's
    /// reply with `messageId` (from `deviceAddress` on the CAN bus), returned from its message id.
    std::optional<Reply> sendAndMatch(core::ByteView message, std::uint8_t messageId,
                                      std::uint8_t deviceAddress);

    /// A copy of the link record as it stands.
    model::LinkInfo linkInfo() const;
    const std::string& linkId() const { return linkId_; }
    /// A number no other LinkHandler of this process has: tells the reports of this handler
    /// from those of an earlier one of the same link.
    std::uint64_t instance() const { return instance_; }
    bool isPaired() const { return flags_.paired.load(); }
    /// True once the reader saw the serial line end (module unplugged, far side closed); any
    /// thread.
    bool isLineClosed() const { return lineClosed_.load(); }
    RadioUpdateStatus radioUpdateStatus() const { return flags_.radioUpdateStatus.load(); }

    // --- Timings ---------------------------------------------------------------------------
    static constexpr int kAttempts = 3;
    static constexpr int kReplyRounds = 125;  // 1 ms each
    static constexpr std::chrono::milliseconds kRound{1};
    static constexpr std::chrono::milliseconds kLongRoundPause{5};
    static constexpr std::chrono::milliseconds kWriteTimeout{5};
    static constexpr std::chrono::milliseconds kUnacknowledgedWriteTimeout{20};
    static constexpr std::chrono::milliseconds kLongWriteTimeout{500};

private:
    // LinkSession: what the pairing commands and the radio update use.
    model::LinkType linkType() const override { return linkType_; }
    model::LinkConnectionType connectionType() const override;
    void setConnectionType(model::LinkConnectionType connection) override;
    void applyFirmwareFlags(const LinkFirmwareFlags& firmware) override;
    const model::FirmwareCatalog& catalog() const override { return catalog_; }
    LinkFlags& flags() override { return flags_; }
    void unpair() override;
    bool stopping() const override { return stop_.isSet(); }
    bool sleepUnlessStopping(std::chrono::milliseconds duration) override;
    std::optional<Reply> sendAdapterCommand(core::ByteView frame,
                                            const ReplyHeader& header) override;
    std::optional<Reply> sendAdapterCommandLong(core::ByteView frame,
                                                const ReplyHeader& header) override;
    void sendPlain(core::ByteView message) override;

    // Construction.
    void openPort();
    void setUpSockets();
    void joinThreads();

    // Transactions (link_transactions.cpp). Callers hold transaction_.
    void flushResponses();
    std::optional<Reply> awaitResponse();
    std::optional<Reply> awaitMatchingResponse(const ReplyHeader& header);
    void writeWrapped(core::ByteView message, Delivery delivery, std::chrono::milliseconds timeout);
    void write(core::ByteView bytes, std::chrono::milliseconds timeout);
    void logRetry(int attempt) const;

    // Threads.
    void readSerial();
    void route(core::ByteView payload);
    void becomePaired(model::LinkConnectionType medium);
    void serve();
    void pollLinkStatus();
    void pollStatusUpdate();
    bool requestOwnService(std::string_view request, bool (*done)(std::string_view reply));
    void reportChanges();

    // The link service (link_service.cpp).
    std::optional<std::string> dispatch(json request);
    std::string statusReply() const;
    std::string disconnect();
    std::string startRadioUpdate();

    const model::LinkType linkType_;
    const std::string linkId_;
    const std::uint64_t instance_;
    const std::string endpoint_;  // inproc://v1/link/<linkID>
    const model::FirmwareCatalog catalog_;
    const LinkTimings timings_;
    PairingCallback onPairing_;

    mutable std::mutex recordMutex_;  // guards info_ (connection, pairing, firmware flags)
    model::LinkInfo info_;

    LinkFlags flags_;
    std::atomic<bool> lineClosed_{false};  // set by the reader thread
    platform::StopSignal stop_;
    std::once_flag stopOnce_;

    std::unique_ptr<serial::SerialPort> port_;

    // One link transaction at a time: flush, write, wait. Guards responsePull_ and encoder_.
    std::mutex transaction_;
    FrameEncoder encoder_;

    std::shared_ptr<zmq::context_t> context_;
    zmq::socket_t linkService_;    // REP, service thread
    zmq::socket_t statusOutlet_;   // PUSH to the bundle's update_status, reader thread
    zmq::socket_t responsePush_;   // PUSH, reader thread
    zmq::socket_t responsePull_;   // PULL, whichever sender holds transaction_
    zmq::socket_t detectService_;  // REP, service thread
    std::vector<std::string> announced_;

    // Every thread that changes the record reports it; the lock keeps the reports in the order
    // of the changes and the socket to one thread at a time.
    std::mutex reportMutex_;      // guards reportOutlet_, lastReport_
    zmq::socket_t reportOutlet_;  // PUSH to the device service's link reports
    std::string lastReport_;      // the status reply last reported; empty: unknown

    // Reader thread only.
    FrameDecoder decoder_;
    std::uint8_t lastAcknowledge_ = 0;

    // Declared last: joined before anything above goes away.
    std::jthread radioUpdateThread_;  // started and joined by the service thread
    std::jthread statusPoller_;
    std::jthread serviceThread_;
    std::jthread readerThread_;
    std::jthread statusUpdatePoller_;
};

}  // namespace kinetra::link
