// The bundle's two threads: commands planned against the latest status and sent through the
// link handler, and the status served on .../status; status messages are decoded on the link's
// reader thread as they arrive.
#include "bundle/bundle_handler.hpp"

#include <spdlog/spdlog.h>

#include "bundle/keypose_ids.hpp"
#include "bundle/status_decoder.hpp"
#include "bundle/status_json.hpp"
#include "bus/announce.hpp"
#include "bus/endpoints.hpp"
#include "bus/envelope.hpp"
#include "bus/feed.hpp"
#include "bus/service_loop.hpp"
#include "bus/socket_registry.hpp"
#include "bus/wait.hpp"
#include "core/clock.hpp"
#include "platform/thread_name.hpp"

namespace kinetra::bundle {
namespace {

constexpr std::size_t kMaxStatusBytes = status_layout::kMaxReceivedSize;

}  // namespace

BundleHandler::BundleHandler(std::string linkId, std::string portName,
                             std::string initialFoundEpoch, model::LinkInfo info,
                             link::LinkTimings linkTimings)
    : linkId_(std::move(linkId)),
      portName_(std::move(portName)),
      initialFoundEpoch_(std::move(initialFoundEpoch)),
      info_(std::move(info)),
      topic_(bus::statusTopic(linkId_)),
      paired_(info_.isPairingDone),
      context_(bus::SocketRegistry::instance().context()) {
    try {
        feed_ = bus::makeFeedPublisher(*context_);
    } catch (const zmq::error_t& error) {
        spdlog::warn("Bundle {0} status: no feed: {1}", linkId_, error.what());
    }
    // Status messages are decoded where they are read: they cross no thread before the feed.
    link_ = std::make_unique<link::LinkHandler>(
        info_, [this](bool paired) { onPairing(paired); }, linkTimings,
        [this](core::ByteView message) { takeStatus(message); });
    try {
        commandSocket_ = zmq::socket_t(*context_, zmq::socket_type::rep);
        statusSocket_ = zmq::socket_t(*context_, zmq::socket_type::rep);
        for (auto* socket : {&commandSocket_, &statusSocket_}) {
            socket->set(zmq::sockopt::linger, 0);
        }
        bus::bindWhenFree(commandSocket_, bus::bundleEndpoint(linkId_));
        bus::bindWhenFree(statusSocket_, bus::bundleStatusEndpoint(linkId_));
        announced_ = {bus::bundleEndpoint(linkId_), bus::bundleStatusEndpoint(linkId_)};
        bus::announceOpen(announced_);
        commandThread_ = std::jthread([this] { serveCommands(); });
        statusThread_ = std::jthread([this] { serveStatus(); });
    } catch (...) {
        // The link handler's threads call back into this object: end them before it goes.
        stop();
        for (auto* thread : {&commandThread_, &statusThread_}) {
            if (thread->joinable()) {
                thread->join();
            }
        }
        link_.reset();
        throw;
    }
}

BundleHandler::~BundleHandler() {
    stop();
    for (auto* thread : {&commandThread_, &statusThread_}) {
        if (thread->joinable()) {
            thread->join();
        }
    }
    commandSocket_.close();
    statusSocket_.close();
    link_.reset();
    feed_.close();
}

void BundleHandler::stop() {
    std::call_once(stopOnce_, [this] {
        if (link_) {
            link_->stop();
        }
        {
            std::lock_guard lock(pairingMutex_);
            stop_.set();
        }
        pairingChanged_.notify_all();
        bus::announceClosed(announced_);
    });
}

void BundleHandler::onPairing(bool paired) {
    {
        std::lock_guard lock(pairingMutex_);
        paired_ = paired;
    }
    pairingChanged_.notify_all();
}

DeviceStatusSnapshot BundleHandler::snapshot() const {
    std::lock_guard lock(snapshotMutex_);
    return snapshot_;
}

// --- Command thread
// --------------------------------------------------------------------------------

void BundleHandler::serveCommands() {
    platform::nameThisThread("bundle:" + linkId_);
    bool refused = false;  // the last request was turned away unpaired
    bus::ServiceLoop loop("Bundle " + linkId_, stop_);
    loop.answer(
        commandSocket_,
        [this, &refused](std::string_view request) {
            refused = !paired_.load();
            if (refused) {
                // Nothing can reach the devices: the client is told so (never "ok" for a stop
                // that was not sent) and held back a little, so that a client retrying in a
                // loop does not flood the log.
                spdlog::info("Bundle {0}: {1}", linkId_, reply_text::kPairingNotCompleted);
                return bus::resultText(reply_text::kPairingNotCompleted);
            }
            return handleCommand(request);
        },
        [this, &refused] {
            if (refused) {
                pauseWhileUnpaired();
            }
        });
    loop.run();
}

void BundleHandler::pauseWhileUnpaired() {
    std::unique_lock lock(pairingMutex_);
    pairingChanged_.wait_for(lock, kUnpairedPause,
                             [this] { return paired_.load() || stop_.isSet(); });
}

std::string BundleHandler::handleCommand(std::string_view request) {
    const auto plan = planCommand(request, snapshot(), keyposeIdCounters());
    const auto outcomes = perform(plan);
    return core::dumpCompact(buildReply(plan, outcomes));
}

std::vector<SendOutcome> BundleHandler::perform(const CommandPlan& plan) {
    std::vector<SendOutcome> outcomes;
    outcomes.reserve(plan.sends.size());
    for (const auto& send : plan.sends) {
        std::optional<link::Reply> reply;
        switch (send.mode) {
            case SendMode::noWait:
                link_->sendUnacknowledged(send.message);
                break;
            case SendMode::threeAttempts:
                reply = link_->sendWithRetry(send.message);
                break;
            case SendMode::awaitAnswer:
                reply = link_->sendAndMatch(send.message, send.answerId, send.address);
                break;
        }
        if (reply) {
            const auto bytes = reply->message();
            outcomes.emplace_back(core::Bytes(bytes.begin(), bytes.end()));
        } else {
            outcomes.emplace_back(std::nullopt);
        }
    }
    return outcomes;
}

// --- Status thread
// ---------------------------------------------------------------------------------

// Sleeps until a status request arrives and answers it with the latest decoded status.
void BundleHandler::serveStatus() {
    platform::nameThisThread("status:" + linkId_);
    bus::ServiceLoop loop("Bundle " + linkId_ + " status", stop_);
    loop.answer(statusSocket_, [&](std::string_view) {
        if (!paired_.load()) {
            spdlog::warn("Pairing is not completed.");
        }
        std::lock_guard lock(snapshotMutex_);
        return core::dumpCompact(
            statusEndpointReply(snapshotTime_ ? statusToJson(snapshot_, *snapshotTime_) : json()));
    });
    loop.run();
}

// Each decoded status is published on the feed as it comes, with the very "data" a status
// request is answered with.
void BundleHandler::takeStatus(core::ByteView message) {
    const auto decoded = decodeStatus(message.first(std::min(message.size(), kMaxStatusBytes)));
    if (!decoded) {
        return;  // shorter than a status message: nothing in it can be trusted
    }
    const auto now = core::epochMillis();
    {
        std::lock_guard lock(snapshotMutex_);
        snapshot_ = *decoded;
        snapshotTime_ = now;
    }
    lastStatusTime_ = now;
    // The JSON is built for subscribers only; .../status builds its own from the snapshot.
    if (feed_ && bus::isWanted(topic_)) {
        bus::publish(feed_, topic_, core::dumpCompact(statusToJson(*decoded, now)));
    }
}

}  // namespace kinetra::bundle
