// The two pollers of a link, deadlines on its service thread: they ask the link's own service for
// the adapter's status (every link) and for a first status message (stop-motion module) until
// they get an answer or their time limit passes. They run between requests, so they wait behind
// whatever command the service is performing, as a client's request would.
#include <spdlog/spdlog.h>

#include "link/link_commands.hpp"
#include "link/link_handler.hpp"

namespace kinetra::link {

void LinkHandler::addPollers(bus::ServiceLoop& loop) {
    pollersStart_ = std::chrono::steady_clock::now();
    nextStatusPoll_ = pollersStart_ + timings_.pollerPause;
    loop.at(
        [this]() -> std::optional<TimePoint> {
            // Whoever asked (a client, the poller) made the status known: nothing left to do.
            return flags_.statusKnown.load() ? std::nullopt : nextStatusPoll_;
        },
        [this] { pollLinkStatus(); });
    if (linkType_ == model::LinkType::stopMotionModule) {
        nextStatusUpdatePoll_ = pollersStart_ + timings_.pollerPause;
        loop.at(
            [this]() -> std::optional<TimePoint> {
                return flags_.paired.load() ? std::nullopt : nextStatusUpdatePoll_;
            },
            [this] { pollStatusUpdate(); });
    }
}

void LinkHandler::markFirmwareCorrupted() {
    std::lock_guard lock(recordMutex_);
    info_.isFirmwareCorrupted = true;
    info_.isDeviceFirmwareUpdateRequired = true;
}

// Asks again a pause after each answer that is not "true"; once the time limit has passed
// without one, the adapter is taken to have broken firmware so that the client is told to
// update it.
void LinkHandler::pollLinkStatus() {
    std::optional<std::string> reply;
    try {
        reply = dispatch(json{{"command", commands::kLinkStatusFromDevice}});
    } catch (const std::exception& error) {
        spdlog::warn("Link id: {0} status poller: {1}", linkId_, error.what());
    }
    const auto now = std::chrono::steady_clock::now();
    if (reply == "true" || flags_.statusKnown.load()) {
        nextStatusPoll_.reset();
    } else if (now - pollersStart_ >= timings_.pollerLimit) {
        markFirmwareCorrupted();
        flags_.firmwareUpdateRequired = true;
        flags_.statusKnown = true;
        nextStatusPoll_.reset();
    } else {
        nextStatusPoll_ = now + timings_.pollerPause;
    }
    reportChanges();
}

// The request always gets an answer, so one attempt is enough; one made past the time limit
// marks the firmware as broken first.
void LinkHandler::pollStatusUpdate() {
    if (std::chrono::steady_clock::now() - pollersStart_ >= timings_.pollerLimit) {
        markFirmwareCorrupted();
        flags_.firmwareUpdateRequired = true;
        reportChanges();
    }
    try {
        dispatch(json{{"command", commands::kStatusUpdate}});
    } catch (const std::exception& error) {
        spdlog::warn("Link id: {0} status-update poller: {1}", linkId_, error.what());
    }
    nextStatusUpdatePoll_.reset();
    reportChanges();
}

}  // namespace kinetra::link
