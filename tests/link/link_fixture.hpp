// A link handler on the shared emulator rig, with what the link's tests watch besides the bus
// requests: the status messages it pushes to its bundle and the pairing callback's calls.
// Every wait is bounded and wakes on its event.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <mutex>

#include <gtest/gtest.h>
#include <zmq.hpp>

#include "bus/endpoints.hpp"
#include "bus/socket_registry.hpp"
#include "bus/wait.hpp"
#include "support/emulated_rig.hpp"

namespace kinetra::link::test {

using namespace std::chrono_literals;
using model::LinkConnectionType;

/// Every pairing callback call, in order.
class PairingLog {
public:
    void record(bool paired) {
        {
            std::lock_guard lock(mutex_);
            calls_.push_back(paired);
        }
        changed_.notify_all();
    }
    /// Waits for a call that says `paired`, among the calls from index `from` on.
    bool waitFor(bool paired, std::size_t from = 0, std::chrono::milliseconds timeout = 5s) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] {
            return std::find(
                       calls_.begin() + static_cast<std::ptrdiff_t>(std::min(from, calls_.size())),
                       calls_.end(), paired) != calls_.end();
        });
    }
    std::size_t count() {
        std::lock_guard lock(mutex_);
        return calls_.size();
    }

private:
    std::mutex mutex_;  // guards calls_
    std::condition_variable changed_;
    std::vector<bool> calls_;
};

inline sim::LinkConfig fastConfig(model::LinkType type = model::LinkType::linkAdapter) {
    auto config =
        type == model::LinkType::linkAdapter ? sim::LinkConfig{} : sim::defaultModuleConfig();
    config.timings.pairingTime = 100ms;
    return config;
}

/// Pollers that ask at once, radio update pauses and chunk waits cut short.
inline LinkTimings fastTimings() {
    auto timings = kinetra::testing::fastTimings();
    timings.longReplyRounds = 40;  // about 5 s for one chunk's acknowledgement
    timings.radioUpdatePause = 20ms;
    return timings;
}

class LinkFixture : public ::testing::Test {
protected:
    /// Starts the emulator with `config` and a handler on it.
    void start(sim::LinkConfig config = fastConfig(), LinkTimings timings = fastTimings()) {
        rig_.emplace(std::move(config), kinetra::testing::freshLinkId("KTEST"));
        linkId_ = rig_->linkId();
        emulator_ = &rig_->emulator();
        // Bound before the handler pushes: the bundle's side of the status outlet.
        statusInlet_.set(zmq::sockopt::linger, 0);
        statusInlet_.bind(bus::bundleUpdateStatusEndpoint(linkId_));
        handler_ = std::make_unique<LinkHandler>(
            rig_->linkInfo(), [this](bool paired) { pairing_.record(paired); }, timings);
    }

    /// One request to `endpoint`, as the gateway makes it; nothing when no reply came in time.
    std::optional<std::string> ask(const std::string& endpoint, const json& request,
                                   std::chrono::milliseconds timeout = 5s) {
        return rig_->ask(endpoint, core::dumpCompact(request), timeout);
    }
    std::optional<std::string> command(const std::string& name, json request = json::object(),
                                       std::chrono::milliseconds timeout = 5s) {
        request["command"] = name;
        return ask(bus::linkEndpoint(linkId_), request, timeout);
    }
    json commandJson(const std::string& name, json request = json::object()) {
        return rig_->link(name, std::move(request));
    }
    /// The link's status record once the poller has asked the adapter for its versions.
    json knownStatus() {
        EXPECT_TRUE(rig_->awaitLinkStatus()) << "the status poller never asked the adapter";
        return commandJson("status");
    }

    /// The next status message pushed for the bundle.
    std::optional<core::Bytes> nextStatus(std::chrono::milliseconds timeout = 5s) {
        const auto message = bus::receiveWithin(statusInlet_, timeout);
        if (!message) {
            return std::nullopt;
        }
        const auto* bytes = static_cast<const std::uint8_t*>(message->data());
        return core::Bytes(bytes, bytes + message->size());
    }

    std::size_t receivedCount() const { return emulator_->receivedCount(); }

    std::shared_ptr<zmq::context_t> context_ = bus::SocketRegistry::instance().context();
    zmq::socket_t statusInlet_{*context_, zmq::socket_type::pull};
    std::optional<kinetra::testing::EmulatedRig> rig_;
    std::string linkId_;
    sim::EmulatedLink* emulator_ = nullptr;
    PairingLog pairing_;
    std::unique_ptr<LinkHandler> handler_;  // after the rig: destroyed first
};

}  // namespace kinetra::link::test
