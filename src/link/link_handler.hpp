// One link module: its record and flags, its wire (the serial port, the reader thread and the
// send operations, in LinkWire), and the link service on inproc://v1/link/<linkID> (and
// .../detect) whose thread also runs the pollers that learn the link's status. Each change of
// the link record is reported to the device service as it happens.
// Owned by the link's BundleHandler; every thread it starts is joined before it is destroyed.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <zmq.hpp>

#include "bus/service_loop.hpp"
#include "core/json.hpp"
#include "link/link_health.hpp"
#include "link/link_session.hpp"
#include "link/link_wire.hpp"
#include "model/firmware_catalog.hpp"
#include "model/link_info.hpp"
#include "platform/service_thread.hpp"
#include "platform/stop_signal.hpp"

namespace kinetra::link {

/// The link's slow timings. Tests shorten them; the server uses the defaults.
struct LinkTimings {
    /// The pollers' pause before each attempt.
    std::chrono::milliseconds pollerPause{2000};
    /// Past this, a poller judges the firmware broken: five attempts one pause apart, and a
    /// millisecond so that the fifth is still made when the pauses run exactly to time.
    std::chrono::milliseconds pollerLimit = 5 * pollerPause + std::chrono::milliseconds(1);
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
    /// Takes each status message the link receives, on the reader thread. Without one, status
    /// messages are pushed to the bundle's update_status endpoint on the bus.
    using StatusCallback = std::function<void(core::ByteView message)>;

    /// Opens and configures `info.portName`, binds and announces the link and detect endpoints
    /// and starts the threads. A port that cannot be opened raises the notification "Link
    /// connection could not open." and throws std::runtime_error("Serial Port could not open.");
    /// bus errors escape as zmq::error_t.
    LinkHandler(model::LinkInfo info, PairingCallback onPairing, LinkTimings timings = {},
                StatusCallback onStatus = {});
    /// Stops (when not yet stopped), joins every thread, closes the sockets and leaves the port
    /// at 19200 baud with both buffers discarded.
    ~LinkHandler() override;

    LinkHandler(const LinkHandler&) = delete;
    LinkHandler& operator=(const LinkHandler&) = delete;

    /// Announces both endpoints closed and makes every wait end without a reply and every
    /// thread finish. Idempotent; callable from any thread.
    void stop();

    // --- Send operations of the bundle side ------------------------------------------------
    // Each takes the command's Preemption (none for a stop): once preempt() has set it, the
    // send ends at once without a reply and writes nothing further.
    /// Writes `message` wrapped for the connection (the CAN bus without acknowledgement);
    /// waits for nothing.
    void sendUnacknowledged(core::ByteView message, const Preemption* preemption = nullptr) {
        wire_->sendUnacknowledged(message, preemption);
    }
    /// Up to 3 attempts: writes `message` wrapped for the connection, waits for any reply.
    std::optional<Reply> sendWithRetry(core::ByteView message) override {
        return wire_->sendWithRetry(message);
    }
    std::optional<Reply> sendWithRetry(core::ByteView message, const Preemption* preemption) {
        return wire_->sendWithRetry(message, preemption);
    }
    /// Up to `attempts` attempts: writes device message `message` wrapped for the connection
    /// and waits for its own acknowledgement (a change of the acknowledge byte credited to it);
    /// nothing when none could be credited to it.
    std::optional<Reply> sendAcknowledged(core::ByteView message, int attempts,
                                          const Preemption* preemption = nullptr) {
        return wire_->sendAcknowledged(message, attempts, preemption);
    }
    /// Up to 3 attempts: writes `message` wrapped for the connection, waits for the device's
    /// reply with `messageId` (from `deviceAddress` on the CAN bus), returned from its message id.
    std::optional<Reply> sendAndMatch(core::ByteView message, std::uint8_t messageId,
                                      std::uint8_t deviceAddress,
                                      const Preemption* preemption = nullptr) {
        return wire_->sendAndMatch(message, messageId, deviceAddress, preemption);
    }
    /// Abandons the command `preemption` belongs to: its reply wait ends at once (woken) and
    /// none of its further attempts is written. Any thread.
    void preempt(Preemption& preemption) {
        preemption.set();
        wire_->wakeSender();
    }

    /// A copy of the link record as it stands.
    model::LinkInfo linkInfo() const;
    const std::string& linkId() const { return linkId_; }
    /// A number no other LinkHandler of this process has: tells the reports of this handler
    /// from those of an earlier one of the same link.
    std::uint64_t instance() const { return instance_; }
    bool isPaired() const { return flags_.paired.load(); }
    /// True once the reader saw the serial line end (module unplugged, far side closed); any
    /// thread.
    bool isLineClosed() const { return wire_->isLineClosed(); }
    /// The body of the report a link sends once its line has ended, in place of a status reply
    /// (which is empty or a JSON object, never this).
    static constexpr std::string_view kLineClosedReport = "line closed";
    RadioUpdateStatus radioUpdateStatus() const { return flags_.radioUpdateStatus.load(); }
    /// The link's health counters; any thread.
    const LinkStatistics& statistics() const { return wire_->statistics(); }

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
                                            const ReplyHeader& header) override {
        return wire_->sendAdapterCommand(frame, header);
    }
    std::optional<Reply> sendAdapterCommandLong(core::ByteView frame,
                                                const ReplyHeader& header) override {
        return wire_->sendAdapterCommandLong(frame, header);
    }
    void sendPlain(core::ByteView message) override { wire_->sendPlain(message); }

    void setUpSockets();
    void joinThreads();
    void becomePaired(model::LinkConnectionType medium);
    void reportChanges();
    void reportLineClosed();
    bool sendReport(std::string_view body);  // the caller holds reportMutex_

    // The service thread (link_service.cpp) and its pollers (link_pollers.cpp).
    void serve();
    void addPollers(bus::ServiceLoop& loop);
    void pollLinkStatus();
    void pollStatusUpdate();
    void markFirmwareCorrupted();

    // The link service (link_service.cpp).
    std::optional<std::string> dispatch(json request);
    std::string statusReply() const;
    std::string disconnect();
    std::string startRadioUpdate();
    /// The `data` of linkStatistics and of the health feed; service thread (the rate meter).
    json statisticsData();
    void publishHealth(zmq::socket_t& outlet);

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
    platform::StopSignal stop_;
    std::once_flag stopOnce_;

    // The pollers' state; service thread only.
    using TimePoint = std::chrono::steady_clock::time_point;
    TimePoint pollersStart_{};
    std::optional<TimePoint> nextStatusPoll_;  // nothing once the poller is done
    std::optional<TimePoint> nextStatusUpdatePoll_;
    // The health feed's tick and the status rate it keeps; service thread only.
    static constexpr std::chrono::seconds kHealthInterval{1};
    TimePoint nextHealth_{};
    StatusRateMeter statusRate_{std::chrono::steady_clock::now()};

    std::shared_ptr<zmq::context_t> context_;
    zmq::socket_t linkService_;    // REP, service thread
    zmq::socket_t detectService_;  // REP, service thread
    std::vector<std::string> announced_;

    // Every thread that changes the record reports it; the lock keeps the reports in the order
    // of the changes and the socket to one thread at a time.
    std::mutex reportMutex_;      // guards reportOutlet_, lastReport_
    zmq::socket_t reportOutlet_;  // PUSH to the device service's link reports
    std::string lastReport_;      // the status reply last reported; empty: unknown

    // After everything its reader's hooks touch; its reader is joined before the rest goes.
    std::unique_ptr<LinkWire> wire_;

    // Declared last: joined before anything above goes away.
    platform::ServiceThread radioUpdateThread_;  // started and joined by the service thread
    platform::ServiceThread serviceThread_;
};

}  // namespace kinetra::link
