// The link's set-up and teardown, its record and the reports of its changes to the device
// service; the record is read and changed from every thread of the link, under recordMutex_.
#include "link/link_handler.hpp"

#include <spdlog/spdlog.h>

#include "bus/announce.hpp"
#include "bus/endpoints.hpp"
#include "bus/socket_registry.hpp"
#include "notify/notification_handler.hpp"

namespace kinetra::link {
namespace {

std::uint64_t nextInstance() {
    static std::atomic<std::uint64_t> counter{0};
    return ++counter;
}

}  // namespace

LinkHandler::LinkHandler(model::LinkInfo info, PairingCallback onPairing, LinkTimings timings,
                         StatusCallback onStatus)
    : linkType_(info.linkType),
      linkId_(info.linkID),
      instance_(nextInstance()),
      endpoint_(bus::linkEndpoint(info.linkID)),
      timings_(timings),
      onPairing_(std::move(onPairing)),
      info_(std::move(info)) {
    flags_.paired = info_.isPairingDone;
    WireHooks hooks{
        .connection = [this] { return connectionType(); },
        .becomePaired = [this](model::LinkConnectionType medium) { becomePaired(medium); },
        .status = std::move(onStatus),
        .lineClosed = [this] { reportLineClosed(); },
    };
    wire_ = std::make_unique<LinkWire>(info_, flags_, stop_, std::move(hooks),
                                       timings_.longReplyRounds);
    spdlog::info("Link id: {0} serial port is open.", linkId_);
    notify::notify("Link connection is established.");
    setUpSockets();

    // Both only touch members that are complete by now. A link service that fails ends this link
    // as a failed reader does: its line is closed and the device service takes it down.
    try {
        serviceThread_.start({.name = "link:" + linkId_,
                              .service = "Link " + linkId_,
                              .onFailure = platform::OnFailure::end,
                              .afterEnd = [this] { wire_->closeLine(); }},
                             [this](std::stop_token) {
                                 try {
                                     serve();
                                 } catch (...) {
                                     if (stop_.isSet()) {
                                         return;  // failing while stopping is part of stopping
                                     }
                                     throw;
                                 }
                             });
        wire_->startReader();
    } catch (...) {
        // A thread that could not start: end the ones that did before the members go.
        stop();
        joinThreads();
        throw;
    }
}

LinkHandler::~LinkHandler() {
    stop();
    joinThreads();
    linkService_.close();
    detectService_.close();
    reportOutlet_.close();
    wire_.reset();
}

void LinkHandler::joinThreads() {
    // The service thread may start the radio update thread, so it is joined first.
    for (auto* thread : {&serviceThread_, &radioUpdateThread_}) {
        thread->stop();
    }
    wire_->joinReader();
}

void LinkHandler::setUpSockets() {
    context_ = bus::SocketRegistry::instance().context();
    linkService_ = zmq::socket_t(*context_, zmq::socket_type::rep);
    detectService_ = zmq::socket_t(*context_, zmq::socket_type::rep);
    reportOutlet_ = zmq::socket_t(*context_, zmq::socket_type::push);
    for (auto* socket : {&linkService_, &detectService_, &reportOutlet_}) {
        socket->set(zmq::sockopt::linger, 0);
    }

    bus::bindWhenFree(linkService_, endpoint_);
    wire_->setUpSockets(*context_);
    bus::bindWhenFree(detectService_, bus::linkDetectEndpoint(linkId_));
    // The device service may come up after the link (tests build links alone): the bus keeps
    // the reports until it binds, up to the queue's limit.
    reportOutlet_.connect(std::string(bus::kLinkReportsEndpoint));

    announced_ = {endpoint_, bus::linkDetectEndpoint(linkId_)};
    bus::announceOpen(announced_);
}

void LinkHandler::stop() {
    std::call_once(stopOnce_, [this] {
        stop_.set();
        if (wire_) {
            wire_->wakeSender();  // a sender waiting for its reply sees the stop at once
        }
        bus::announceClosed(announced_);
    });
}

bool LinkHandler::sleepUnlessStopping(std::chrono::milliseconds duration) {
    return stop_.waitFor(duration);
}

// --- The link record ---------------------------------------------------------------------------

model::LinkInfo LinkHandler::linkInfo() const {
    std::lock_guard lock(recordMutex_);
    return info_;
}

model::LinkConnectionType LinkHandler::connectionType() const {
    std::lock_guard lock(recordMutex_);
    return info_.linkConnectionType;
}

void LinkHandler::setConnectionType(model::LinkConnectionType connection) {
    {
        std::lock_guard lock(recordMutex_);
        info_.linkConnectionType = connection;
    }
    reportChanges();
}

void LinkHandler::applyFirmwareFlags(const LinkFirmwareFlags& firmware) {
    std::lock_guard lock(recordMutex_);
    // Flags are only ever set: a later, better answer does not hide an earlier requirement.
    info_.isDeviceFirmwareUpdateRequired |= firmware.isDeviceFirmwareUpdateRequired;
    info_.isRadioFirmwareUpdateRequired |= firmware.isRadioFirmwareUpdateRequired;
    info_.isDeviceFirmwareUpdateAvailable |= firmware.isDeviceFirmwareUpdateAvailable;
    info_.isRadioFirmwareUpdateAvailable |= firmware.isRadioFirmwareUpdateAvailable;
    if (!firmware.deviceFirmwareChangelog.empty()) {
        info_.deviceFirmwareChangelog = firmware.deviceFirmwareChangelog;
    }
    if (!firmware.radioFirmwareChangelog.empty()) {
        info_.radioFirmwareChangelog = firmware.radioFirmwareChangelog;
    }
}

// The report is the status reply itself (empty while the status is unknown), sent only when it
// differs from the last one, so the device service lists exactly what `status` would answer.
void LinkHandler::reportChanges() {
    std::lock_guard lock(reportMutex_);
    auto reply = statusReply();
    if (reply != lastReport_ && sendReport(reply)) {
        lastReport_ = std::move(reply);
    }
}

// Runs on the reader thread once the line has ended: the device service takes the link down as
// it does an unplugged one.
void LinkHandler::reportLineClosed() {
    std::lock_guard lock(reportMutex_);
    if (!sendReport(kLineClosedReport)) {
        // The device service also looks at every link's line whenever it wakes.
        spdlog::warn("Link id: {0} could not report its closed line.", linkId_);
    }
}

// Three frames: linkID, this handler's instance number, the body. Never blocks: the device
// service takes reports as they come, and one lost to a full queue is outdated by the next.
bool LinkHandler::sendReport(std::string_view body) {
    try {
        const auto instance = std::to_string(instance_);
        return reportOutlet_.send(zmq::buffer(linkId_),
                                  zmq::send_flags::dontwait | zmq::send_flags::sndmore) &&
               reportOutlet_.send(zmq::buffer(instance),
                                  zmq::send_flags::dontwait | zmq::send_flags::sndmore) &&
               reportOutlet_.send(zmq::buffer(body), zmq::send_flags::dontwait);
    } catch (const zmq::error_t& error) {
        spdlog::warn("Link id: {0} could not report its record: {1}", linkId_, error.what());
        return false;
    }
}

// The record changes before the callback runs, so whoever the callback wakes reads a record that
// already says what happened.
void LinkHandler::unpair() {
    flags_.paired.exchange(false);
    {
        std::lock_guard lock(recordMutex_);
        info_.isPairingDone = false;
    }
    onPairing_(false);
    reportChanges();
}

void LinkHandler::becomePaired(model::LinkConnectionType medium) {
    if (flags_.paired.exchange(true)) {
        return;
    }
    {
        std::lock_guard lock(recordMutex_);
        info_.isPairingDone = true;
        info_.linkConnectionType = medium;
    }
    onPairing_(true);
    reportChanges();
}

}  // namespace kinetra::link
