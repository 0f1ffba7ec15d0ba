#include "device/device_service.hpp"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <filesystem>

#include "bus/announce.hpp"
#include "bus/endpoints.hpp"
#include "bus/envelope.hpp"
#include "bus/feed.hpp"
#include "bus/service_loop.hpp"
#include "bus/socket_registry.hpp"
#include "bus/wait.hpp"
#include "device/abort_all.hpp"
#include "notify/notification_handler.hpp"
#include "platform/terminal_device.hpp"

namespace kinetra::device {
namespace {

constexpr std::string_view kEmptyObject = "{}";

std::string commandNotFound() {
    return bus::resultText("Command Not Found");
}

// One port under two names (a symbolic link and its target, "/dev/./ttyACM0") compares equal.
// A port that is not there keeps its name, normalised.
std::string portIdentity(const std::string& portName) {
    std::error_code error;
    const auto resolved = std::filesystem::weakly_canonical(portName, error);
    return error ? std::filesystem::path(portName).lexically_normal().string() : resolved.string();
}

}  // namespace

DeviceService::DeviceService(std::string configurationEndpoint, DeviceServiceOptions options)
    : endpoint_(bus::kDeviceEndpoint),
      configurationEndpoint_(std::move(configurationEndpoint)),
      options_(std::move(options)),
      dfu_(options_.dfuToolPath, options_.dfuWorkingDirectory) {
    // The scanner connects to the device endpoint before it is bound: the bus queues its
    // events until then.
    scanner_ = std::make_unique<LinkScanner>(configurationEndpoint_, endpoint_, options_.listPorts);
    context_ = bus::SocketRegistry::instance().context();
    socket_ = zmq::socket_t(*context_, zmq::socket_type::rep);
    socket_.set(zmq::sockopt::linger, 0);
    reports_ = zmq::socket_t(*context_, zmq::socket_type::pull);
    reports_.set(zmq::sockopt::linger, 0);
    bus::bindWhenFree(reports_, std::string(bus::kLinkReportsEndpoint));
    feed_ = bus::makeFeedPublisher(*context_);
    publishedLinks_ = core::dumpCompact(json::array());
    bus::bindWhenFree(socket_, endpoint_);
    bus::announceOpen(std::array{endpoint_});
    // The links, their handlers and the sockets are members: a restarted loop serves them as
    // before.
    thread_.start({.name = "device", .service = "Device service"},
                  [this](std::stop_token) { serve(); });
}

DeviceService::~DeviceService() {
    bus::announceClosed(std::array{endpoint_});
    // The scanner first: no more events while the handlers go.
    scanner_.reset();
    thread_.stop();
    for (auto& [linkId, handler] : handlers_) {
        handler->stop();
    }
    handlers_.clear();
    teardowns_.clear();  // joins every teardown still running
    socket_.close();
    reports_.close();
    feed_.close();
}

// Sleeps until a request, a link's report or the stop signal arrives. Reports are taken first,
// so a request answered right after a change sees it.
void DeviceService::serve() {
    bus::ServiceLoop loop("Device service", thread_.stopSignal());
    loop.take(reports_, [this](zmq::socket_ref) { takeReports(); });
    loop.answer(
        socket_, [this](std::string_view request) { return handle(request); },
        [this] { reapTeardowns(); });
    loop.afterEachWake([this] {
        platform::faultPoint();
        publishIfChanged();
    });
    loop.run();
}

// A report counts only when it comes from the link's present handler: one from a handler taken
// down (its last words may still be on the way) would describe a link that has gone.
void DeviceService::takeReports() {
    for (;;) {
        // A report's three frames travel together: the rest is there once the first is.
        std::array<zmq::message_t, 3> frames;
        std::size_t count = 0;
        do {
            if (!reports_.recv(frames[count], zmq::recv_flags::dontwait)) {
                break;
            }
            ++count;
        } while (frames[count - 1].more() && count < frames.size());
        if (count == 0) {
            break;
        }
        if (count != frames.size() || frames[2].more()) {
            continue;  // not a report; only link handlers send here
        }
        const std::string linkId(frames[0].to_string_view());
        const auto handler = handlers_.find(linkId);
        if (handler != handlers_.end() &&
            std::to_string(handler->second->linkHandler().instance()) ==
                frames[1].to_string_view() &&
            frames[2].to_string_view() != link::LinkHandler::kLineClosedReport) {
            reportedStatus_[linkId] = std::string(frames[2].to_string_view());
        }
    }
    // A closed line's report only wakes the service; the link itself says whether its line
    // has ended.
    dropClosedLines();
}

// The feed drops what nobody subscribed to, so this costs one comparison when nothing changed.
void DeviceService::publishIfChanged() {
    auto links = core::dumpCompact(linkStatusData());
    if (links == publishedLinks_) {
        return;
    }
    bus::publish(feed_, bus::kLinksTopic, links);
    publishedLinks_ = std::move(links);
}

// The events are answered {} before they are handled: the scanner never waits for them, and a
// failure in handling is only logged.
std::string DeviceService::handle(std::string_view requestText) {
    json request;
    std::string command;
    try {
        request = json::parse(requestText);
        command = request.at("command").get<std::string>();
        request.erase("command");
    } catch (const std::exception& error) {
        spdlog::warn("Device service: {0}", error.what());
        return std::string(kEmptyObject);
    }
    try {
        // A link whose line has ended is gone before any command looks at the links, even if
        // its report is still on the way.
        dropClosedLines();
        if (command == kDeviceFound) {
            return linkFound(request);
        }
        if (command == kDeviceDisconnected) {
            linkLost(request);
            return std::string(kEmptyObject);
        }
        if (command == kLinkStatus) {
            return core::dumpCompact(bus::dataReply(linkStatusData()));
        }
        if (command == kStartFirmwareUpdate) {
            return dfu_.start();
        }
        if (command == kFirmwareUpdateStatus) {
            return dfu_.statusReply();
        }
        if (command == kMotionAbortAll) {
            return motionAbortAll();
        }
        if (command == kStudioStatus) {
            return options_.studioStatus
                       ? core::dumpCompact(bus::dataReply(options_.studioStatus()))
                       : bus::resultText("studio outputs are not running");
        }
        return commandNotFound();
    } catch (const std::exception& error) {
        spdlog::warn("Device service {0}: {1}", command, error.what());
        return std::string(kEmptyObject);
    }
}

model::LinkInfo* DeviceService::findRecord(const std::string& linkId) {
    const auto found = std::find_if(links_.begin(), links_.end(),
                                    [&](const model::LinkInfo& r) { return r.linkID == linkId; });
    return found == links_.end() ? nullptr : &*found;
}

std::string DeviceService::linkFound(const json& request) {
    const auto found = model::linkInfoFromScannerJson(request);
    // Only a serial line is ever opened and written to; a port that has gone since the scan
    // is tried as before (and listed invalid).
    if (platform::portKind(found.portName) == platform::PortKind::other) {
        spdlog::warn("device_found for {0}: {1} is not a terminal device; ignored.", found.linkID,
                     found.portName);
        return bus::resultText("portName is not a terminal device");
    }
    if (portHeldByAnother(found)) {
        return refuse(found, kPortHeld);
    }
    if (auto* stored = findRecord(found.linkID)) {
        // A link seen on another port moved there (or a device with the same serial number sits
        // on it now): the link follows it, so that the move's "lost" event for the old port
        // does not take down a link that is plugged in. A re-plug ends the old line first; a
        // link whose line is still up stays where it works.
        const auto handler = handlers_.find(found.linkID);
        if (stored->portName != found.portName && handler != handlers_.end() &&
            !handler->second->linkHandler().isLineClosed()) {
            spdlog::warn("Link {0} is connected on {1}; not moved to {2}.", found.linkID,
                         stored->portName, found.portName);
            return bus::resultText("link is connected on another port");
        }
        if (stored->portName != found.portName) {
            spdlog::info("Link {0} moved from {1} to {2}.", found.linkID, stored->portName,
                         found.portName);
            takeDown(found.linkID);
            stored->portName = found.portName;
        }
        // The handler starts from a record that says it is valid: it reports that record.
        stored->present = true;
        stored->present = createHandler(*stored);
        return std::string(kEmptyObject);
    }
    if (!makeRoomFor(found)) {
        return refuse(found, kTooManyLinks);
    }
    spdlog::info("Found device: {0}", found.linkID);
    notify::notify("New Device found: ", found.linkID);
    model::LinkInfo record = found;
    const bool created = createHandler(record);
    record.present = record.present && created;
    links_.push_back(std::move(record));
    return std::string(kEmptyObject);
}

// A port carries one link: a second reader on it would take the first one's frames. Links
// whose line has ended were dropped before, so they hold nothing (a pseudo-terminal's number is
// handed out again).
bool DeviceService::portHeldByAnother(const model::LinkInfo& found) const {
    const auto port = portIdentity(found.portName);
    return std::any_of(heldPorts_.begin(), heldPorts_.end(), [&](const auto& held) {
        return held.first != found.linkID && held.second == port;
    });
}

// The list keeps what it knows of links that have gone, but not without bound: a new link
// beyond kMaxLinks takes the place of the oldest one without a handler. False when every link
// in the list is present.
bool DeviceService::makeRoomFor(const model::LinkInfo& found) {
    if (links_.size() < kMaxLinks) {
        return true;
    }
    const auto gone = std::find_if(links_.begin(), links_.end(), [&](const model::LinkInfo& r) {
        return !handlers_.contains(r.linkID);
    });
    if (gone == links_.end()) {
        return false;
    }
    spdlog::info("Link list full: {0}, gone, leaves it for {1}.", gone->linkID, found.linkID);
    links_.erase(gone);
    return true;
}

// A client can repeat a refused request without end: the log names the first and then every
// doubling of the count.
std::string DeviceService::refuse(const model::LinkInfo& found, std::string_view result) {
    ++refusals_;
    if ((refusals_ & (refusals_ - 1)) == 0) {
        spdlog::warn("device_found for {0} on {1}: {2} ({3} refused so far).", found.linkID,
                     found.portName, result, refusals_);
    }
    return bus::resultText(result);
}

bool DeviceService::createHandler(const model::LinkInfo& record) {
    if (handlers_.contains(record.linkID)) {
        return true;
    }
    // The previous handler of this link must be gone first: its teardown resets the port it
    // had open, which may be the very port the new one opens.
    std::erase_if(teardowns_,
                  [&](const Teardown& teardown) { return teardown.linkId == record.linkID; });
    reportedStatus_.erase(record.linkID);
    try {
        handlers_.emplace(record.linkID,
                          std::make_unique<bundle::BundleHandler>(record.linkID, record.portName,
                                                                  record.initialFoundEpoch, record,
                                                                  options_.linkTimings));
        heldPorts_[record.linkID] = portIdentity(record.portName);
        return true;
    } catch (const std::exception& error) {
        spdlog::warn("{0}", error.what());
        return false;
    }
}

void DeviceService::linkLost(const json& request) {
    const auto linkId = request.at("linkID").get<std::string>();
    auto* stored = findRecord(linkId);
    // The lost event of a move names the old port; the link already follows the new one.
    if (stored != nullptr && request.contains("portName") &&
        request.at("portName").get<std::string>() != stored->portName) {
        spdlog::info("Link {0} lost on {1}, but it is on {2}: kept.", linkId,
                     request.at("portName").get<std::string>(), stored->portName);
        return;
    }
    drop(linkId);
}

// The link is lost: its handler goes and its record stays, marked invalid.
void DeviceService::drop(const std::string& linkId) {
    takeDown(linkId);
    if (auto* stored = findRecord(linkId)) {
        stored->present = false;
    }
}

// A line that ended is a link lost, whether or not a scanner sees its port go (none sees a
// pseudo-terminal).
void DeviceService::dropClosedLines() {
    std::vector<std::string> closed;
    for (const auto& [linkId, handler] : handlers_) {
        if (handler->linkHandler().isLineClosed()) {
            closed.push_back(linkId);
        }
    }
    for (const auto& linkId : closed) {
        spdlog::info("Link {0}: its line has ended; taken down as unplugged.", linkId);
        drop(linkId);
    }
}

// Stopping is quick and happens here; destroying joins the handler's threads (a poller may be
// in the middle of a wait), so it runs on a thread of its own, kept until it is done.
void DeviceService::takeDown(const std::string& linkId) {
    const auto found = handlers_.find(linkId);
    if (found == handlers_.end()) {
        return;
    }
    std::shared_ptr<bundle::BundleHandler> handler = std::move(found->second);
    handlers_.erase(found);
    heldPorts_.erase(linkId);
    reportedStatus_.erase(linkId);
    handler->stop();
    auto& teardown = teardowns_.emplace_back();
    teardown.linkId = linkId;
    // Tried again after a pause if it fails: the handler is only let go once it is destroyed.
    teardown.thread.start({.name = "down:" + linkId,
                           .service = "Teardown of link " + linkId,
                           .firstPause = std::chrono::milliseconds(100)},
                          [handler = std::move(handler)](std::stop_token) mutable {
                              platform::faultPoint();
                              handler.reset();
                          });
}

// Finished teardowns are joined (at once: they are done) and dropped, so the list stays short
// over a long session.
void DeviceService::reapTeardowns() {
    std::erase_if(teardowns_, [](const Teardown& teardown) { return !teardown.thread.running(); });
}

// Lost links as the service stored them; present ones as they last reported themselves, left out
// until they know their status. Nothing here waits on a link.
json DeviceService::linkStatusData() const {
    json data = json::array();
    for (const auto& record : links_) {
        if (!record.present) {
            data.push_back(model::toListJson(record));
            continue;
        }
        const auto reported = reportedStatus_.find(record.linkID);
        if (reported == reportedStatus_.end() || reported->second.empty()) {
            continue;
        }
        try {
            data.push_back(json::parse(reported->second));
        } catch (const json::exception& error) {
            spdlog::warn("Link {0} status: {1}", record.linkID, error.what());
        }
    }
    return data;
}

// Paired bundles are asked together; an unpaired one could send nothing, and says so without
// being asked (asking would only hold it in its pause after refusing).
std::string DeviceService::motionAbortAll() {
    std::vector<std::string> paired;
    std::vector<std::string> unpaired;
    for (const auto& [linkId, handler] : handlers_) {
        (handler->isPaired() ? paired : unpaired).push_back(linkId);
    }
    spdlog::info("motionAbortAll: {0} paired bundle(s), {1} not paired", paired.size(),
                 unpaired.size());
    json data = abortAll(*context_, paired, kAbortAllBound, &thread_.stopSignal());
    for (const auto& linkId : unpaired) {
        data.push_back(
            json{{"linkID", linkId}, {"result", bundle::reply_text::kPairingNotCompleted}});
    }
    return core::dumpCompact(bus::dataReply(std::move(data)));
}

}  // namespace kinetra::device
