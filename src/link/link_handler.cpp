#include "link/link_handler.hpp"

#include <array>
#include <stdexcept>
#include <thread>

#include <spdlog/spdlog.h>

#include "bus/announce.hpp"
#include "bus/endpoints.hpp"
#include "bus/socket_registry.hpp"
#include "bus/wait.hpp"
#include "link/classify.hpp"
#include "notify/notification_handler.hpp"
#include "platform/thread_name.hpp"

namespace kinetra::link {
namespace {

constexpr std::size_t kReadChunk = 32;

std::uint64_t nextInstance() {
    static std::atomic<std::uint64_t> counter{0};
    return ++counter;
}

}  // namespace

LinkHandler::LinkHandler(model::LinkInfo info, PairingCallback onPairing, LinkTimings timings)
    : linkType_(info.linkType),
      linkId_(info.linkID),
      instance_(nextInstance()),
      endpoint_(bus::linkEndpoint(info.linkID)),
      timings_(timings),
      onPairing_(std::move(onPairing)),
      info_(std::move(info)) {
    flags_.paired = info_.isPairingDone;
    openPort();
    spdlog::info("Link id: {0} serial port is open.", linkId_);
    notify::notify("Link connection is established.");
    setUpSockets();

    // The service and the reader first wait for each other to run; std::jthread starts them at
    // once, and both only touch members that are complete by now.
    try {
        statusPoller_ = std::jthread([this] { pollLinkStatus(); });
        serviceThread_ = std::jthread([this] { serve(); });
        readerThread_ = std::jthread([this] { readSerial(); });
        if (linkType_ == model::LinkType::stopMotionModule) {
            statusUpdatePoller_ = std::jthread([this] { pollStatusUpdate(); });
        }
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
    responsePush_.close();
    responsePull_.close();
    detectService_.close();
    statusOutlet_.close();
    reportOutlet_.close();
    // Leave the module at the rate it starts in, with nothing half-sent or half-read.
    port_->setBaudrate(serial::kTeardownBaudrate);
    port_->flush();
    port_.reset();
}

void LinkHandler::joinThreads() {
    // The service thread may start the radio update thread, so it is joined first.
    for (auto* thread : {&serviceThread_, &readerThread_, &statusPoller_, &statusUpdatePoller_,
                         &radioUpdateThread_}) {
        if (thread->joinable()) {
            thread->join();
        }
    }
}

void LinkHandler::openPort() {
    port_ = serial::openSerialPort(info_.portName);
    if (!port_) {
        notify::notify("Link connection could not open.");
        throw std::runtime_error("Serial Port could not open.");
    }
    // Flow control is deliberately not applied: link modules run without it.
    const serial::PortSettings settings{info_.portInfo.baudrate, info_.portInfo.bitCount,
                                        info_.portInfo.stopBits};
    if (!port_->configure(settings)) {
        spdlog::warn("Link id: {0} serial port {1} refused its settings.", linkId_, info_.portName);
    }
}

void LinkHandler::setUpSockets() {
    context_ = bus::SocketRegistry::instance().context();
    linkService_ = zmq::socket_t(*context_, zmq::socket_type::rep);
    statusOutlet_ = zmq::socket_t(*context_, zmq::socket_type::push);
    responsePush_ = zmq::socket_t(*context_, zmq::socket_type::push);
    responsePull_ = zmq::socket_t(*context_, zmq::socket_type::pull);
    detectService_ = zmq::socket_t(*context_, zmq::socket_type::rep);
    reportOutlet_ = zmq::socket_t(*context_, zmq::socket_type::push);
    for (auto* socket : {&linkService_, &statusOutlet_, &responsePush_, &responsePull_,
                         &detectService_, &reportOutlet_}) {
        socket->set(zmq::sockopt::linger, 0);
    }

    bus::bindWhenFree(linkService_, endpoint_);
    responsePull_.set(zmq::sockopt::rcvtimeo, 10000);
    bus::bindWhenFree(responsePull_, bus::linkResponseEndpoint(linkId_));
    responsePush_.connect(bus::linkResponseEndpoint(linkId_));
    bus::bindWhenFree(detectService_, bus::linkDetectEndpoint(linkId_));
    statusOutlet_.connect(bus::bundleUpdateStatusEndpoint(linkId_));
    // The device service may come up after the link (tests build links alone): the bus keeps
    // the reports until it binds, up to the queue's limit.
    reportOutlet_.connect(std::string(bus::kLinkReportsEndpoint));

    announced_ = {endpoint_, bus::linkDetectEndpoint(linkId_)};
    bus::announceOpen(announced_);
}

void LinkHandler::stop() {
    std::call_once(stopOnce_, [this] {
        stop_.set();
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
// Three frames: linkID, this handler's instance number, the reply. Never blocks: the device
// service takes reports as they come, and one lost to a full queue is outdated by the next.
void LinkHandler::reportChanges() {
    std::lock_guard lock(reportMutex_);
    auto reply = statusReply();
    if (reply == lastReport_) {
        return;
    }
    try {
        const auto instance = std::to_string(instance_);
        if (reportOutlet_.send(zmq::buffer(linkId_),
                               zmq::send_flags::dontwait | zmq::send_flags::sndmore) &&
            reportOutlet_.send(zmq::buffer(instance),
                               zmq::send_flags::dontwait | zmq::send_flags::sndmore) &&
            reportOutlet_.send(zmq::buffer(reply), zmq::send_flags::dontwait)) {
            lastReport_ = std::move(reply);
        }
    } catch (const zmq::error_t& error) {
        spdlog::warn("Link id: {0} could not report its record: {1}", linkId_, error.what());
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

// --- Reader thread -----------------------------------------------------------------------------

// Sleeps on the port until bytes or the stop signal arrive, so an idle link costs nothing and a
// frame is routed as soon as its end byte is read.
void LinkHandler::readSerial() {
    platform::nameThisThread("rd:" + linkId_);
    std::array<std::uint8_t, kReadChunk> buffer{};
    while (!stop_.isSet()) {
        const auto result = port_->read(buffer, std::chrono::milliseconds(-1), &stop_);
        if (result.status == serial::ReadStatus::closed) {
            // Unplugged: the scanner reports the loss and the link is taken down; until then
            // there is nothing to read.
            spdlog::warn("Link id: {0} serial line closed.", linkId_);
            lineClosed_ = true;
            sleepUnlessStopping(std::chrono::hours(24 * 365));
            return;
        }
        if (result.status != serial::ReadStatus::data) {
            continue;
        }
        decoder_.feed({buffer.data(), result.count},
                      [this](core::ByteView payload) { route(payload); });
    }
}

void LinkHandler::route(core::ByteView payload) {
    const LinkState state{linkType_, lastAcknowledge_, flags_.paired.load(),
                          flags_.pairingBlocked.load(), flags_.statusKnown.load()};
    try {
        for (const Action& action : classify(payload, state)) {
            switch (action.kind) {
                case ActionKind::pushResponse:
                    // A full queue drops the message; its waiting sender times out.
                    responsePush_.send(zmq::buffer(action.bytes.data(), action.bytes.size()),
                                       zmq::send_flags::dontwait);
                    break;
                case ActionKind::pushStatus:
                    statusOutlet_.send(zmq::buffer(action.bytes.data(), action.bytes.size()),
                                       zmq::send_flags::dontwait);
                    break;
                case ActionKind::acknowledge:
                    lastAcknowledge_ = action.acknowledge;
                    break;
                case ActionKind::becomePaired:
                    becomePaired(action.medium);
                    break;
                case ActionKind::log:
                    spdlog::info("{0}", action.text);
                    break;
                case ActionKind::drop:
                    break;
            }
        }
    } catch (const zmq::error_t& error) {
        spdlog::warn("Link id: {0} could not route a message: {1}", linkId_, error.what());
    }
}

}  // namespace kinetra::link
