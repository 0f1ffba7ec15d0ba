// The link service: requests on inproc://v1/link/<linkID> and .../detect, one at a time on the
// service thread (which also runs the pollers), answered in the order of the command table with
// its two gates.
#include <spdlog/spdlog.h>

#include "bus/envelope.hpp"
#include "bus/feed.hpp"
#include "bus/service_loop.hpp"
#include "bus/wait.hpp"
#include "link/adapter_commands.hpp"
#include "link/link_commands.hpp"
#include "link/link_handler.hpp"
#include "link/link_health.hpp"
#include "link/pairing_commands.hpp"
#include "link/radio_image.hpp"
#include "link/radio_update.hpp"
#include "platform/service_thread.hpp"

namespace kinetra::link {
namespace {

constexpr std::string_view kAlreadyPaired =
    "Link command is ignored. Link is already paired. Unpair the link adapter if you want to "
    "send a link related command.";

std::string alreadyPairedReply() {
    return core::dumpCompact(json{{"message", kAlreadyPaired}, {"result", bus::kOk}});
}

}  // namespace

std::vector<std::string_view> linkServiceCommandNames() {
    std::vector<std::string_view> names(commands::kServiceCommands.begin(),
                                        commands::kServiceCommands.end());
    for (const auto name : pairingCommandNames()) {
        names.push_back(name);
    }
    return names;
}

// Sleeps until a request or the stop signal arrives. The link service is asked first, as both
// may hold a request at once. A request that cannot be read or performed is answered "{}".
void LinkHandler::serve() {
    bus::ServiceLoop loop("Link Handler " + linkId_, stop_,
                          [](std::string_view) { return std::string("{}"); });
    // Whatever a command changed (status known, firmware flags, pairing, medium) is reported
    // once its reply is out.
    const auto report = [this] { reportChanges(); };
    // A command that may not reply (scan results while stopping) only happens on the way out,
    // when nobody waits for the answer any more.
    loop.answer(
        linkService_,
        [this](std::string_view request) { return dispatch(json::parse(request)).value_or("{}"); },
        report);
    // The detect endpoint's request content is not looked at.
    loop.answer(
        detectService_,
        [this](std::string_view) {
            return dispatch(json{{"command", commands::kDetect}}).value_or("{}");
        },
        report);
    addPollers(loop);
    // The health feed: built only while someone subscribes to it.
    zmq::socket_t healthOutlet;
    if (LinkStatistics::counting()) {
        healthOutlet = bus::makeFeedPublisher(*context_);
        nextHealth_ = std::chrono::steady_clock::now() + kHealthInterval;
        loop.at([this] { return std::optional(nextHealth_); },
                [this, &healthOutlet] { publishHealth(healthOutlet); });
    }
    loop.afterEachWake(platform::faultPoint);
    loop.run();
}

void LinkHandler::publishHealth(zmq::socket_t& outlet) {
    // A late tick does not bunch the next ones up.
    nextHealth_ = std::max(nextHealth_ + kHealthInterval, std::chrono::steady_clock::now());
    const auto topic = bus::healthTopic(linkId_);
    if (bus::isWanted(topic)) {
        bus::publish(outlet, topic, core::dumpCompact(statisticsData()));
    } else {
        // Nobody watches: only the rate is kept up to date, for linkStatistics.
        statusRate_.update(wire_->statistics().statusMessages.load(std::memory_order_relaxed),
                           std::chrono::steady_clock::now());
    }
}

json LinkHandler::statisticsData() {
    const auto now = std::chrono::steady_clock::now();
    const auto& statistics = wire_->statistics();
    const double rate =
        statusRate_.update(statistics.statusMessages.load(std::memory_order_relaxed), now);
    return figuresJson(readFigures(statistics, rate, now));
}

std::optional<std::string> LinkHandler::dispatch(json request) {
    const std::string command = request.at("command").get<std::string>();
    request.erase("command");
    spdlog::info("Link Handler {0}: {1}", linkId_, command);

    if (command == commands::kLinkStatusFromDevice) {
        return linkStatusFromDevice(*this);
    }
    if (command == commands::kRadioUpdateStatus) {
        return radioUpdateStatusReply(*this);
    }
    if (command == commands::kStatus) {
        return statusReply();
    }
    if (command == commands::kLinkStatistics) {
        return core::dumpCompact(json{{"data", statisticsData()}, {"result", bus::kOk}});
    }
    if (command == commands::kStatusUpdate) {
        sendWithRetry(kStatusRequestMessage);
        return bus::resultText(bus::kOk);
    }
    if (command == commands::kStartRadioUpdate) {
        return startRadioUpdate();
    }
    if (flags_.firmwareUpdateRequired.load()) {
        return bus::resultText("firmwareUpdateRequired");
    }
    if (command == commands::kDisconnect) {
        return disconnect();
    }
    if (command == commands::kDetect) {
        FrameEncoder encoder;
        frames::identify(encoder);
        sendWithRetry(encoder.encoded());
        return bus::resultText(bus::kOk);
    }
    if (flags_.paired.load()) {
        return alreadyPairedReply();
    }
    if (const auto pairing = findPairingCommand(command)) {
        return pairing(*this, request);
    }
    return bus::resultText("invalid command");
}

// Before the status is known the reply is an empty message: clients poll until it is JSON.
std::string LinkHandler::statusReply() const {
    if (!flags_.statusKnown.load()) {
        return {};
    }
    return core::dumpCompact(model::toListJson(linkInfo()));
}

std::string LinkHandler::disconnect() {
    flags_.pairingBlocked = true;
    unpair();
    leaveMedium(*this);
    return bus::resultText(bus::kOk);
}

std::string LinkHandler::startRadioUpdate() {
    auto start = beginRadioUpdate(*this);
    if (start.startThread) {
        // The previous update, if any, has finished (radioUpdateRunning was clear).
        radioUpdateThread_.join();
        try {
            // An update that fails ends with the error status, as one the radio refused.
            radioUpdateThread_.start({.name = "radio:" + linkId_,
                                      .service = "Radio update of link " + linkId_,
                                      .onFailure = platform::OnFailure::end},
                                     [this](std::stop_token) {
                                         try {
                                             runRadioUpdate(*this, radioFirmwareImage(),
                                                            timings_.radioUpdatePause);
                                         } catch (...) {
                                             flags_.radioUpdateStatus = RadioUpdateStatus::error;
                                             flags_.radioUpdateRunning = false;
                                             reportChanges();
                                             throw;
                                         }
                                         reportChanges();
                                     });
        } catch (const std::system_error& error) {
            // The client has been told ok; the status tells it the update did not happen.
            spdlog::error("Link id: {0} radio update could not start: {1}", linkId_, error.what());
            flags_.radioUpdateRunning = false;
            flags_.radioUpdateStatus = RadioUpdateStatus::error;
        }
    }
    return std::move(start.reply);
}

}  // namespace kinetra::link
