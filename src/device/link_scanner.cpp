// The link scanner's service part: the control thread answers the scan and scan_stop endpoints;
// the scan thread lists the serial ports every scanInterval and reports found and lost links to
// the device service.
#include "device/link_scanner.hpp"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <array>
#include <stdexcept>

#include "bus/endpoints.hpp"
#include "bus/envelope.hpp"
#include "bus/service_loop.hpp"
#include "bus/socket_registry.hpp"
#include "bus/wait.hpp"
#include "config/configuration_client.hpp"
#include "core/clock.hpp"

namespace kinetra::device {
namespace {

// How long an event may wait for room on the device socket. It only waits when the device
// service has stopped taking requests; the event is then tried again by a later pass.
constexpr std::chrono::milliseconds kEventSendTimeout{1000};

// Far beyond any useful interval, and small enough that a deadline computed from it cannot
// overflow the clock.
constexpr std::chrono::milliseconds kLongestPause{std::chrono::hours(24 * 365)};

bool samePort(const model::LinkInfo& a, const model::LinkInfo& b) {
    return a.portName == b.portName;
}

}  // namespace

LinkScanner::LinkScanner(const std::string& configurationEndpoint,
                         const std::string& deviceEndpoint, PortLister listPorts)
    : listPorts_(std::move(listPorts)) {
    const auto section =
        config::requestConfigurationSection(configurationEndpoint, "serialConnection");
    if (!section) {
        throw std::runtime_error("The link scanner got no configuration from " +
                                 configurationEndpoint);
    }
    config_ = readScannerConfig(*section);
    scanning_ = config_.usb.autoScan;

    context_ = bus::SocketRegistry::instance().context();
    // Replies to events are never read: relaxed, the socket may send the next event anyway.
    // The device service may bind only after this (it builds the scanner first); events
    // queue until it does.
    deviceSocket_ = bus::makeRequestSocket(*context_, deviceEndpoint, {.relaxed = true});
    // Neither endpoint is announced: scanning is not switched over HTTP.
    scanSocket_ = zmq::socket_t(*context_, zmq::socket_type::rep);
    bus::bindWhenFree(scanSocket_, std::string(bus::kLinkScanEndpoint));
    scanStopSocket_ = zmq::socket_t(*context_, zmq::socket_type::rep);
    bus::bindWhenFree(scanStopSocket_, std::string(bus::kLinkScanStopEndpoint));

    // Both restart after a failure: the scanning flag and the known devices are members, so a
    // pass lost to a failure is made up by the next.
    controlThread_.start({.name = "scan-control", .service = "Link scanner control"},
                         [this](std::stop_token) { control(); });
    scanThread_.start({.name = "scan", .service = "Link scanner"},
                      [this](std::stop_token stop) { scan(stop); });
}

LinkScanner::~LinkScanner() {
    stop_.set();
    controlThread_.requestStop();
    scanThread_.requestStop();
    controlThread_.join();
    scanThread_.join();
}

// Sleeps until a request on either endpoint or the stop signal. The state is switched before
// the reply goes out, so a client that has its "ok" sees the new state.
void LinkScanner::control() {
    bus::ServiceLoop loop("Link scanner control", stop_);
    loop.afterEachWake(platform::faultPoint);
    loop.answer(scanSocket_, [this](std::string_view) {
        startScanning();
        return bus::resultText(bus::kOk);
    });
    loop.answer(scanStopSocket_, [this](std::string_view) {
        spdlog::info("Scanning has been stopped.");
        scanning_ = false;
        return bus::resultText(bus::kOk);
    });
    loop.run();
}

void LinkScanner::startScanning() {
    bool wasScanning = false;
    {
        std::lock_guard lock(wakeMutex_);
        wasScanning = scanning_.exchange(true);
    }
    if (wasScanning) {
        spdlog::info("The scanning has been already continuing.");
        return;
    }
    wake_.notify_all();
}

// One pass, then the pause; a cleared flag is seen after the pause, so stopping ends scanning
// after the current pass and its pause. While the flag is clear the thread sleeps until a scan
// request sets it.
void LinkScanner::scan(std::stop_token stop) {
    const auto pause = std::chrono::milliseconds(
        std::min<std::uint64_t>(config_.usb.scanInterval, kLongestPause.count()));
    std::unique_lock lock(wakeMutex_);
    for (;;) {
        if (!wake_.wait(lock, stop, [this] { return scanning_.load(); })) {
            return;
        }
        platform::faultPoint();
        lock.unlock();
        try {
            runPass();
        } catch (const zmq::error_t& error) {
            if (error.num() == ETERM) {
                return;
            }
            spdlog::warn("Link scan pass: {0}", error.what());
        } catch (const std::exception& error) {
            spdlog::warn("Link scan pass: {0}", error.what());
        }
        lock.lock();
        // Only shutting down cuts the pause short.
        wake_.wait_for(lock, stop, pause, [] { return false; });
        if (stop.stop_requested()) {
            return;
        }
    }
}

// Devices are matched between passes by port name. A device that moved is found on its new
// port and lost on its old one; only one lost device is reported per pass.
void LinkScanner::runPass() {
    const auto ports = listPorts_();
    if (!ports) {
        // Not the same as no ports: reporting every known device lost would tear down links
        // that are still plugged in. The pass is skipped.
        if (!listingFailed_) {
            spdlog::warn("The serial ports could not be listed; scanning waits for the listing.");
        }
        listingFailed_ = true;
        return;
    }
    listingFailed_ = false;

    std::vector<model::LinkInfo> found;
    for (const auto& port : *ports) {
        if (auto link = recogniseLink(port, config_, std::to_string(core::epochNanos()))) {
            found.push_back(std::move(*link));
        }
    }
    for (const auto& link : found) {
        const bool known = std::any_of(known_.begin(), known_.end(),
                                       [&](const auto& entry) { return samePort(entry, link); });
        // An event that could not be sent leaves the list as it was: the next pass retries.
        if (!known && sendEvent("device_found", link)) {
            known_.push_back(link);
        }
    }
    const auto lost = std::find_if(known_.begin(), known_.end(), [&](const auto& entry) {
        return std::none_of(found.begin(), found.end(),
                            [&](const auto& link) { return samePort(entry, link); });
    });
    if (lost != known_.end() && sendEvent("device_disconnected", *lost)) {
        known_.erase(lost);
    }
}

bool LinkScanner::sendEvent(std::string_view command, const model::LinkInfo& link) {
    json event = model::toScannerJson(link);
    event["command"] = std::string(command);
    // Waits for room (bounded, and cut short by the destructor), then sends without blocking.
    if (bus::sendWithin(deviceSocket_, core::dumpCompact(event), kEventSendTimeout, &stop_)) {
        return true;
    }
    spdlog::warn("The link scanner could not send {0} for {1} on {2}.", command, link.linkID,
                 link.portName);
    return false;
}

}  // namespace kinetra::device
