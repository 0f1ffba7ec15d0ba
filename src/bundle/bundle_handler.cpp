// The bundle's threads: bundle:<id> takes every command into the queue the moment it comes and
// sends every reply; send:<id> carries the queue's head out through the link, planned against
// the latest status; status:<id> serves .../status. Status messages are decoded on the link's
// reader thread as they arrive.
#include "bundle/bundle_handler.hpp"

#include <zmq_addon.hpp>

#include <spdlog/spdlog.h>

#include "bundle/keypose_ids.hpp"
#include "bundle/status_decoder.hpp"
#include "bundle/status_json.hpp"
#include "bus/announce.hpp"
#include "bus/endpoints.hpp"
#include "bus/envelope.hpp"
#include "bus/feed.hpp"
#include "bus/request_tag.hpp"
#include "bus/service_loop.hpp"
#include "bus/socket_registry.hpp"
#include "bus/wait.hpp"
#include "core/clock.hpp"
#include "platform/service_thread.hpp"

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
        commandSocket_ = zmq::socket_t(*context_, zmq::socket_type::router);
        statusSocket_ = zmq::socket_t(*context_, zmq::socket_type::rep);
        for (auto* socket : {&commandSocket_, &statusSocket_}) {
            socket->set(zmq::sockopt::linger, 0);
        }
        // Everything is taken off the socket at once, so its queue never fills for long.
        commandSocket_.set(zmq::sockopt::rcvhwm, 0);
        commandSocket_.set(zmq::sockopt::sndhwm, 0);
        bus::bindWhenFree(commandSocket_, bus::bundleEndpoint(linkId_));
        bus::bindWhenFree(statusSocket_, bus::bundleStatusEndpoint(linkId_));
        announced_ = {bus::bundleEndpoint(linkId_), bus::bundleStatusEndpoint(linkId_)};
        bus::announceOpen(announced_);
        startThreads();
    } catch (...) {
        // The link handler's threads call back into this object: end them before it goes.
        stop();
        for (auto* thread : {&commandThread_, &senderThread_, &statusThread_}) {
            thread->stop();
        }
        link_.reset();
        throw;
    }
}

// All three restart after a failure: the queue, the outbox and the snapshot are members. The
// pauses of the two that carry commands are short, as every command (a stop too) waits them out.
void BundleHandler::startThreads() {
    using std::chrono::milliseconds;
    commandThread_.start({.name = "bundle:" + linkId_,
                          .service = "Bundle " + linkId_,
                          .firstPause = milliseconds(50),
                          .longestPause = milliseconds(1000)},
                         [this](std::stop_token) { serveCommands(); });
    senderThread_.start({.name = "send:" + linkId_,
                         .service = "Bundle " + linkId_ + " sender",
                         .firstPause = milliseconds(50),
                         .longestPause = milliseconds(1000)},
                        [this](std::stop_token) { carryOutCommands(); });
    statusThread_.start({.name = "status:" + linkId_, .service = "Bundle " + linkId_ + " status"},
                        [this](std::stop_token) { serveStatus(); });
}

BundleHandler::~BundleHandler() {
    stop();
    for (auto* thread : {&commandThread_, &senderThread_, &statusThread_}) {
        thread->stop();
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
            std::lock_guard lock(queueMutex_);
            stop_.set();
        }
        queueChanged_.notify_all();
        bus::announceClosed(announced_);
    });
}

void BundleHandler::onPairing(bool paired) {
    {
        std::lock_guard lock(queueMutex_);
        paired_ = paired;
        if (paired) {
            queue_.releaseHolds();  // the clients held back for it may go on at once
        }
    }
    queueChanged_.notify_all();
}

DeviceStatusSnapshot BundleHandler::snapshot() const {
    std::lock_guard lock(snapshotMutex_);
    return snapshot_;
}

// --- bundle:<id>: receiving and replying --------------------------------------------------------

// Sleeps until a command arrives or send:<id> has posted a reply. It never waits on the link, so
// a stop is queued (and the command in flight preempted) the moment it arrives.
void BundleHandler::serveCommands() {
    bus::ServiceLoop loop("Bundle " + linkId_, stop_);
    loop.afterEachWake(platform::faultPoint);
    loop.take(commandSocket_, [this](zmq::socket_ref) { receiveCommands(); });
    loop.watch(outboxReady_.fd(), [this] { sendReplies(); });
    loop.run();
}

void BundleHandler::receiveCommands() {
    std::vector<zmq::message_t> frames;
    while (zmq::recv_multipart(commandSocket_, std::back_inserter(frames),
                               zmq::recv_flags::dontwait)) {
        receiveOne(frames);
        frames.clear();
    }
}

// A request is [routing id, envelope..., "", body]: [id, "", body] from a REQ, [id, tag, "", body]
// from a route. Everything before the body goes back with the reply.
void BundleHandler::receiveOne(std::vector<zmq::message_t>& frames) {
    std::size_t delimiter = 1;
    while (delimiter < frames.size() && frames[delimiter].size() != 0) {
        ++delimiter;
    }
    if (delimiter + 1 >= frames.size()) {
        logLimited("malformed", "Bundle " + linkId_ + ": dropped a request without a body");
        return;
    }
    const auto now = CommandQueue::Clock::now();
    CommandQueue::Entry entry;
    for (std::size_t i = 0; i <= delimiter; ++i) {
        entry.envelope.push_back(frames[i].to_string());
    }
    entry.body = frames[delimiter + 1].to_string();  // further frames are not part of it
    // A client is one requesting socket, and within a route's socket the client its tag names.
    entry.client = entry.envelope.front();
    const auto& last = frames[delimiter - 1];
    if (const auto tag =
            bus::decodeRequestTag({static_cast<const std::uint8_t*>(last.data()), last.size()});
        tag && delimiter >= 2) {
        entry.client += '/' + std::to_string(tag->client);
        entry.stop = tag->stop;
        if (tag->patience.count() > 0) {
            entry.deadline = now + tag->patience;
        }
    }
    entry.stop = entry.stop || bus::isMotionAbort(entry.body);

    CommandQueue::Offered offered;
    {
        std::lock_guard lock(queueMutex_);
        offered = queue_.offer(std::move(entry), now);
        if (offered.preempt && running_ != nullptr) {
            link_->preempt(*running_);
        }
    }
    queueChanged_.notify_all();
    if (offered.refused) {
        logLimited("refused", "Bundle " + linkId_ + ": too many commands waiting; refused one");
        answer(offered.refused->envelope, bus::resultText(reply_text::kNotProcessed));
    }
    for (const auto& cancelled : offered.cancelled) {
        answer(cancelled.envelope, bus::resultText(reply_text::kCancelledByStop));
    }
    for (const auto& expired : offered.expired) {
        answer(expired.envelope, bus::resultText(reply_text::kExpired));
    }
}

void BundleHandler::sendReplies() {
    outboxReady_.clear();
    std::vector<Outgoing> ready;
    {
        std::lock_guard lock(outboxMutex_);
        ready.swap(outbox_);
    }
    for (const auto& outgoing : ready) {
        answer(outgoing.envelope, outgoing.reply);
    }
}

void BundleHandler::answer(const std::vector<std::string>& envelope, std::string_view reply) {
    // A peer that has gone takes nothing: the ROUTER drops what is addressed to it.
    for (const auto& frame : envelope) {
        if (!commandSocket_.send(zmq::buffer(frame),
                                 zmq::send_flags::sndmore | zmq::send_flags::dontwait)) {
            return;
        }
    }
    (void)commandSocket_.send(zmq::buffer(reply), zmq::send_flags::dontwait);
}

// --- send:<id>: carrying commands out ------------------------------------------------------------

void BundleHandler::carryOutCommands() {
    std::unique_lock lock(queueMutex_);
    while (!stop_.isSet()) {
        auto taken = queue_.take(CommandQueue::Clock::now());
        for (auto& expired : taken.expired) {
            post(std::move(expired.envelope), bus::resultText(reply_text::kExpired));
        }
        if (!taken.next) {
            if (const auto release = queue_.nextRelease()) {
                queueChanged_.wait_until(lock, *release);
            } else {
                queueChanged_.wait(lock);
            }
            continue;
        }
        CommandQueue::Entry entry = std::move(*taken.next);
        link::Preemption preemption;
        running_ = entry.stop ? nullptr : &preemption;  // a stop is never preempted
        const bool paired = paired_.load();
        lock.unlock();
        std::string reply;
        try {
            // The fault hook sits where a failure costs most: with a command in hand.
            platform::faultPoint();
            if (paired) {
                reply = carryOut(entry, entry.stop ? nullptr : &preemption);
            } else {
                // Nothing can reach the devices: the client is told so (never "ok" for a stop
                // that was not sent), and its later commands are held back a little, so that a
                // client retrying in a loop does not flood the log.
                logLimited("unpaired", "Bundle " + linkId_ + ": " +
                                           std::string(reply_text::kPairingNotCompleted));
                reply = bus::resultText(reply_text::kPairingNotCompleted);
            }
        } catch (...) {
            // Left running, the command would keep the queue from handing out the next one
            // after the restart, and its client would wait for a reply that never comes.
            lock.lock();
            running_ = nullptr;
            queue_.finish();
            post(std::move(entry.envelope), bus::resultText(reply_text::kNotProcessed));
            throw;
        }
        lock.lock();
        running_ = nullptr;
        queue_.finish();
        post(std::move(entry.envelope), std::move(reply));
        if (!paired && !entry.stop) {
            queue_.hold(entry.client, CommandQueue::Clock::now() + kUnpairedPause);
        }
    }
}

std::string BundleHandler::carryOut(const CommandQueue::Entry& entry,
                                    const link::Preemption* preemption) {
    try {
        const auto plan =
            planCommand(std::string_view(entry.body), snapshot(), keyposeIdCounters());
        const auto outcomes = perform(plan, preemption);
        if (link::preempted(preemption)) {
            return bus::resultText(reply_text::kCancelledByStop);
        }
        return core::dumpCompact(buildReply(plan, outcomes));
    } catch (const std::exception& error) {
        // Whatever went wrong, the client gets an answer and the bundle goes on.
        if (!stop_.isSet()) {
            spdlog::warn("Bundle {0}: {1}", linkId_, error.what());
        }
        return bus::resultText(error.what());
    }
}

std::vector<SendOutcome> BundleHandler::perform(const CommandPlan& plan,
                                                const link::Preemption* preemption) {
    std::vector<SendOutcome> outcomes;
    outcomes.reserve(plan.sends.size());
    for (const auto& send : plan.sends) {
        if (link::preempted(preemption)) {
            break;  // a stop came: nothing further of this command is written
        }
        std::optional<link::Reply> reply;
        switch (send.mode) {
            case SendMode::noWait:
                link_->sendUnacknowledged(send.message, preemption);
                break;
            case SendMode::acknowledged:
                reply =
                    link_->sendAcknowledged(send.message, link::LinkWire::kAttempts, preemption);
                break;
            case SendMode::acknowledgedOnce:
                reply = link_->sendAcknowledged(send.message, 1, preemption);
                break;
            case SendMode::awaitAnswer:
                reply = link_->sendAndMatch(send.message, send.answerId, send.address, preemption);
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

void BundleHandler::post(std::vector<std::string> envelope, std::string reply) {
    {
        std::lock_guard lock(outboxMutex_);
        outbox_.push_back(Outgoing{std::move(envelope), std::move(reply)});
    }
    outboxReady_.raise();
}

// A client can repeat what causes these lines as fast as it likes: one line a second per kind at
// most, with the count of those held back.
void BundleHandler::logLimited(std::string_view kind, const std::string& text) {
    const auto now = std::chrono::steady_clock::now();
    std::size_t held = 0;
    {
        std::lock_guard lock(logMutex_);
        auto [entry, added] = logged_.try_emplace(std::string(kind), now, 0);
        if (!added && now - entry->second.first < kUnpairedPause) {
            ++entry->second.second;
            return;
        }
        held = std::exchange(entry->second.second, 0);
        entry->second.first = now;
    }
    if (held > 0) {
        spdlog::info("{0} ({1} more since the last report)", text, held);
    } else {
        spdlog::info("{0}", text);
    }
}

// --- Status thread
// ---------------------------------------------------------------------------------

// Sleeps until a status request arrives and answers it with the latest decoded status.
void BundleHandler::serveStatus() {
    bus::ServiceLoop loop("Bundle " + linkId_ + " status", stop_);
    loop.afterEachWake(platform::faultPoint);
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
