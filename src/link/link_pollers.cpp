// The two pollers of a link: they ask the link's own service, over the bus, for the adapter's
// status (every link) and for a first status message (stop-motion module) until they get an
// answer or their time limit passes. Their requests queue behind whatever command the service
// thread is running, as a client's would.
#include <spdlog/spdlog.h>

#include "bus/service_loop.hpp"
#include "bus/wait.hpp"
#include "link/link_handler.hpp"
#include "platform/thread_name.hpp"

namespace kinetra::link {
namespace {

constexpr int kReplyTries = 10;
constexpr std::chrono::milliseconds kReplyInterval{25};

bool isTrue(std::string_view reply) {
    return reply == "true";
}

bool anyReply(std::string_view) {
    return true;
}

}  // namespace

// One request to the link's own service on a fresh REQ socket; true when `done` accepts the
// reply. A late reply goes to a closed socket and is lost, as intended.
bool LinkHandler::requestOwnService(std::string_view request, bool (*done)(std::string_view)) {
    auto socket = bus::makeRequestSocket(*context_, endpoint_,
                                         {.receiveTimeout = kReplyInterval, .relaxed = true});
    if (!bus::trySend(socket, request)) {
        return false;
    }
    const auto reply = bus::receiveWithRetries(socket, kReplyTries, kReplyInterval, {}, &stop_);
    return reply && done(reply->to_string_view());
}

void LinkHandler::pollLinkStatus() {
    platform::nameThisThread("lpoll:" + linkId_);
    const auto start = std::chrono::steady_clock::now();
    try {
        while (!flags_.statusKnown.load()) {
            if (std::chrono::steady_clock::now() - start >= timings_.pollerLimit) {
                // The adapter never said what it runs: treat its firmware as broken so that the
                // client is told to update it.
                {
                    std::lock_guard lock(recordMutex_);
                    info_.isFirmwareCorrupted = true;
                    info_.isDeviceFirmwareUpdateRequired = true;
                }
                flags_.firmwareUpdateRequired = true;
                flags_.statusKnown = true;
                reportChanges();
                return;
            }
            if (!sleepUnlessStopping(timings_.pollerPause)) {
                return;
            }
            if (requestOwnService(R"({"command":"link_status_from_device"})", isTrue)) {
                return;
            }
        }
    } catch (const zmq::error_t& error) {
        spdlog::warn("Link id: {0} status poller: {1}", linkId_, error.what());
    }
}

void LinkHandler::pollStatusUpdate() {
    platform::nameThisThread("spoll:" + linkId_);
    const auto start = std::chrono::steady_clock::now();
    try {
        while (!flags_.paired.load()) {
            if (std::chrono::steady_clock::now() - start >= timings_.pollerLimit) {
                {
                    std::lock_guard lock(recordMutex_);
                    info_.isFirmwareCorrupted = true;
                    info_.isDeviceFirmwareUpdateRequired = true;
                }
                flags_.firmwareUpdateRequired = true;
                reportChanges();
            }
            if (!sleepUnlessStopping(timings_.pollerPause)) {
                return;
            }
            if (requestOwnService(R"({"command":"statusUpdate"})", anyReply)) {
                return;
            }
        }
    } catch (const zmq::error_t& error) {
        spdlog::warn("Link id: {0} status-update poller: {1}", linkId_, error.what());
    }
}

}  // namespace kinetra::link
