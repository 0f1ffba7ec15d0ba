// A link handler on an emulated link module, and the client side of its services: requests on
// the bus as the gateway sends them, the status messages it pushes to its bundle, and the
// pairing callback's calls. Every wait is bounded and wakes on its event.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <zmq.hpp>

#include "bus/endpoints.hpp"
#include "bus/socket_registry.hpp"
#include "bus/wait.hpp"
#include "core/json.hpp"
#include "link/link_handler.hpp"
#include "sim/emulated_link.hpp"

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
    /// Waits until the last call says `paired`.
    bool waitFor(bool paired, std::chrono::milliseconds timeout = 5s) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout,
                                 [&] { return !calls_.empty() && calls_.back() == paired; });
    }
    std::vector<bool> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }

private:
    mutable std::mutex mutex_;  // guards calls_
    std::condition_variable changed_;
    std::vector<bool> calls_;
};

/// A unique link id per test: tests in one process must not reuse bus names.
inline std::string freshLinkId() {
    static std::atomic<int> next{1};
    return "KTEST" + std::to_string(next++);
}

inline sim::LinkConfig fastConfig(model::LinkType type = model::LinkType::linkAdapter) {
    sim::LinkConfig config =
        type == model::LinkType::linkAdapter ? sim::LinkConfig{} : sim::defaultModuleConfig();
    config.timings.pairingTime = 100ms;
    return config;
}

/// Pollers that ask at once, radio update pauses and chunk waits cut short.
inline LinkTimings fastTimings() {
    LinkTimings timings;
    timings.pollerPause = 100ms;
    timings.longReplyRounds = 40;  // about 5 s for one chunk's acknowledgement
    timings.radioUpdatePause = 20ms;
    return timings;
}

class LinkFixture : public ::testing::Test {
protected:
    /// Starts the emulator with `config` and a handler on it.
    void start(sim::LinkConfig config = fastConfig(), LinkTimings timings = fastTimings()) {
        linkId_ = freshLinkId();
        config.linkID = linkId_;
        emulator_ = std::make_unique<sim::EmulatedLink>(config);
        // Bound before the handler pushes: the bundle's side of the status outlet.
        statusInlet_.set(zmq::sockopt::linger, 0);
        statusInlet_.bind(bus::bundleUpdateStatusEndpoint(linkId_));
        handler_ = std::make_unique<LinkHandler>(
            linkInfo(config.linkType), [this](bool paired) { pairing_.record(paired); }, timings);
    }

    model::LinkInfo linkInfo(model::LinkType type) const {
        model::LinkInfo info;
        info.linkType = type;
        info.linkID = linkId_;
        info.portName = emulator_->path();
        info.isValid = true;
        return info;
    }

    /// One request to `endpoint`, as the gateway makes it; nothing when no reply came in time.
    std::optional<std::string> ask(const std::string& endpoint, const json& request,
                                   std::chrono::milliseconds timeout = 5s) {
        zmq::socket_t socket(*context_, zmq::socket_type::req);
        socket.set(zmq::sockopt::linger, 0);
        // Bounded as the receive: with the service gone (and its name unbound) a send would
        // wait for a peer for ever.
        socket.set(zmq::sockopt::sndtimeo, static_cast<int>(timeout.count()));
        socket.connect(endpoint);
        if (!socket.send(zmq::buffer(core::dumpCompact(request)), zmq::send_flags::none)) {
            return std::nullopt;
        }
        const auto reply = bus::receiveWithin(socket, timeout);
        return reply ? std::optional(std::string(reply->to_string_view())) : std::nullopt;
    }
    std::optional<std::string> command(const std::string& name, json request = json::object(),
                                       std::chrono::milliseconds timeout = 5s) {
        request["command"] = name;
        return ask(bus::linkEndpoint(linkId_), request, timeout);
    }
    json commandJson(const std::string& name, json request = json::object()) {
        const auto reply = command(name, std::move(request));
        return reply ? json::parse(*reply, nullptr, false) : json();
    }
    /// The link's status record once it is known (the poller asks about 2 s after start).
    json knownStatus() {
        const bool seen =
            emulator_->waitForCommand(AdapterCommand::linkVersions, std::nullopt, 5s).has_value();
        EXPECT_TRUE(seen) << "the status poller never asked the adapter";
        // The service answers in order: this runs after the poller's link_status_from_device.
        const auto reply = command("status");
        return reply && !reply->empty() ? json::parse(*reply) : json();
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
    std::string linkId_;
    PairingLog pairing_;
    std::unique_ptr<sim::EmulatedLink> emulator_;
    std::unique_ptr<LinkHandler> handler_;  // after the emulator: destroyed first
};

}  // namespace kinetra::link::test
