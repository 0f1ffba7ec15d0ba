// The devices behind one link: the command service on inproc://v1/bundle/<linkID>, the status
// service on .../status, and the link handler they talk through, whose reader thread decodes
// each status message into the snapshot and publishes it on the feed.
// Created and destroyed by the device service; its two threads are joined before it goes.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <zmq.hpp>

#include "bundle/command_plan.hpp"
#include "bundle/status_snapshot.hpp"
#include "core/json.hpp"
#include "link/link_handler.hpp"
#include "model/link_info.hpp"
#include "platform/stop_signal.hpp"

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

    /// How long the command service holds back after answering a request that came before the
    /// link was paired; ends early when the link pairs or the bundle stops.
    static constexpr std::chrono::milliseconds kUnpairedPause{1000};

private:
    void onPairing(bool paired);
    void serveCommands();
    void serveStatus();
    std::string handleCommand(std::string_view request);
    std::vector<SendOutcome> perform(const CommandPlan& plan);
    /// Decodes one status message into the snapshot and publishes it; the link's reader thread.
    void takeStatus(core::ByteView message);
    void pauseWhileUnpaired();

    const std::string linkId_;
    const std::string portName_;
    const std::string initialFoundEpoch_;
    const model::LinkInfo info_;  // as the bundle was created
    const std::string topic_;     // the bundle's status topic on the feed

    std::atomic<bool> paired_;
    std::atomic<std::int64_t> lastStatusTime_{0};
    platform::StopSignal stop_;
    std::once_flag stopOnce_;
    std::mutex pairingMutex_;  // with pairingChanged_: wakes the unpaired pause on pairing
    std::condition_variable pairingChanged_;

    mutable std::mutex snapshotMutex_;  // guards snapshot_, snapshotTime_
    DeviceStatusSnapshot snapshot_;
    std::optional<std::int64_t> snapshotTime_;  // when snapshot_ was decoded; none: no status yet

    std::shared_ptr<zmq::context_t> context_;
    zmq::socket_t feed_;  // PUB, the link's reader thread; closed after the link handler

    // After everything its pairing callback touches; destroyed before it.
    std::unique_ptr<link::LinkHandler> link_;

    zmq::socket_t commandSocket_;  // REP, command thread
    zmq::socket_t statusSocket_;   // REP, status thread
    std::vector<std::string> announced_;

    // Declared last; joined explicitly in the destructor before the sockets close.
    std::jthread commandThread_;
    std::jthread statusThread_;
};

}  // namespace kinetra::bundle
