// The devices behind one link: the command service on inproc://v1/bundle/<linkID>, the status
// service on .../status, and the link handler they talk through, whose reader thread decodes
// each status message into the snapshot and publishes it on the feed.
// Threads: `bundle:<id>` receives every command at once on a ROUTER into the command queue and
// sends every reply; `send:<id>` carries the queue's head out through the link; `status:<id>`
// answers .../status. Created and destroyed by the device service; its threads are joined
// before it goes.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <zmq.hpp>

#include "bundle/command_plan.hpp"
#include "bundle/command_queue.hpp"
#include "bundle/status_snapshot.hpp"
#include "core/json.hpp"
#include "link/link_handler.hpp"
#include "model/link_info.hpp"
#include "platform/stop_signal.hpp"
#include "platform/wake_signal.hpp"

namespace kinetra::bundle {

class BundleHandler {
public:
    /// The creation triple and the link record. Builds the link handler (whose errors escape:
    /// std::runtime_error "Serial Port could not open." when the port cannot be opened), binds
    /// and announces the command and status endpoints, and starts the command and status threads.
    BundleHandler(std::string linkId, std::string portName, std::string initialFoundEpoch,
                  model::LinkInfo info, link::LinkTimings linkTimings = {});
    /// Stops (when not yet stopped), joins both threads, closes the sockets, then destroys the
    /// link handler.
    ~BundleHandler();

    BundleHandler(const BundleHandler&) = delete;
    BundleHandler& operator=(const BundleHandler&) = delete;

    /// Stops the link handler, announces both endpoints closed and ends both threads' waits.
    /// Idempotent; callable from any thread.
    void stop();

    const std::string& linkId() const { return linkId_; }
    const std::string& portName() const { return portName_; }
    const std::string& initialFoundEpoch() const { return initialFoundEpoch_; }
    bool isPaired() const { return paired_.load(); }
    /// A copy of the latest decoded status (zeroed before the first).
    DeviceStatusSnapshot snapshot() const;
    /// Wall-clock milliseconds since 1970 at which the latest status arrived; 0 before the first.
    std::int64_t lastStatusTime() const { return lastStatusTime_.load(); }
    /// The link record as the link handler keeps it.
    model::LinkInfo linkInfo() const { return link_->linkInfo(); }
    link::LinkHandler& linkHandler() { return *link_; }

    /// How long a client's later ordinary commands are held back after one was answered that
    /// came before the link was paired; ends early when the link pairs.
    static constexpr std::chrono::milliseconds kUnpairedPause{1000};

private:
    // A reply and the envelope frames it goes back with.
    struct Outgoing {
        std::vector<std::string> envelope;
        std::string reply;
    };

    void onPairing(bool paired);
    // bundle:<id>
    void serveCommands();
    void receiveCommands();
    void receiveOne(std::vector<zmq::message_t>& frames);
    void sendReplies();
    void answer(const std::vector<std::string>& envelope, std::string_view reply);
    // send:<id>
    void carryOutCommands();
    std::string carryOut(const CommandQueue::Entry& entry, const link::Preemption* preemption);
    std::vector<SendOutcome> perform(const CommandPlan& plan, const link::Preemption* preemption);
    void post(std::vector<std::string> envelope, std::string reply);
    void logLimited(std::string_view kind, const std::string& text);
    // status:<id>
    void serveStatus();
    /// Decodes one status message into the snapshot and publishes it; the link's reader thread.
    void takeStatus(core::ByteView message);

    const std::string linkId_;
    const std::string portName_;
    const std::string initialFoundEpoch_;
    const model::LinkInfo info_;  // as the bundle was created
    const std::string topic_;     // the bundle's status topic on the feed

    std::atomic<bool> paired_;
    std::atomic<std::int64_t> lastStatusTime_{0};
    platform::StopSignal stop_;
    std::once_flag stopOnce_;

    std::mutex queueMutex_;  // guards queue_, running_; with queueChanged_ (paired_, stop_ too)
    std::condition_variable queueChanged_;
    CommandQueue queue_;
    link::Preemption* running_ = nullptr;  // the ordinary command in flight, for a stop

    std::mutex outboxMutex_;  // guards outbox_
    std::vector<Outgoing> outbox_;
    platform::WakeSignal outboxReady_;  // raised by send:<id> when it posted a reply

    std::mutex logMutex_;  // guards logged_
    std::map<std::string, std::pair<std::chrono::steady_clock::time_point, std::size_t>,
             std::less<>>
        logged_;  // per kind of line: when last logged, how many held back since

    mutable std::mutex snapshotMutex_;  // guards snapshot_, snapshotTime_
    DeviceStatusSnapshot snapshot_;
    std::optional<std::int64_t> snapshotTime_;  // when snapshot_ was decoded; none: no status yet

    std::shared_ptr<zmq::context_t> context_;
    zmq::socket_t feed_;  // PUB, the link's reader thread; closed after the link handler

    // After everything its pairing callback touches; destroyed before it.
    std::unique_ptr<link::LinkHandler> link_;

    zmq::socket_t commandSocket_;  // ROUTER, bundle:<id>
    zmq::socket_t statusSocket_;   // REP, status:<id>
    std::vector<std::string> announced_;

    // Declared last; joined explicitly in the destructor before the sockets close.
    std::jthread commandThread_;
    std::jthread senderThread_;
    std::jthread statusThread_;
};

}  // namespace kinetra::bundle
