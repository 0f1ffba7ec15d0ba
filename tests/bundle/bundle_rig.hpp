// One bundle under test: an emulated link module with the gear a test chooses and a real
// BundleHandler on its pseudo-terminal, paired through the link service as a client pairs it,
// and the client side of the bundle's command and status services. Every wait is bounded and
// ends on its event. Used from the test's threads; the services run on the handler's threads.
#pragma once

#include "support/wait.hpp"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <gtest/gtest.h>
#include <zmq.hpp>

#include "bundle/bundle_handler.hpp"
#include "bus/endpoints.hpp"
#include "bus/socket_registry.hpp"
#include "bus/wait.hpp"
#include "core/json.hpp"
#include "model/device_model.hpp"
#include "sim/emulated_link.hpp"

namespace kinetra::bundle::test {

using namespace std::chrono_literals;
using Medium = model::LinkConnectionType;
using model::DeviceModel;

/// Generous bounds: the machine is shared; every wait ends as soon as its event happens.
inline constexpr std::chrono::milliseconds kWait = 5s;

using testing::waitUntil;

/// "07 05 01": how device messages are written in the protocol notes.
inline std::string hex(const core::Bytes& bytes) {
    return fmt::format("{:02X}", fmt::join(bytes, " "));
}

/// A link id no other bundle of this process has used: bus names must not be reused.
inline std::string freshLinkId() {
    static std::atomic<int> next{1};
    return "KBUNDLE" + std::to_string(next++);
}

/// Whether a bundle of this process was asked to store a pose from the current position: the
/// identifier counter is process-wide, so only the first such store sees its first value.
inline std::atomic<bool>& currentPoseStored() {
    static std::atomic<bool> stored{false};
    return stored;
}

/// One device of `model` with its own MAC (pairing finds devices by MAC).
inline sim::DeviceConfig device(DeviceModel model, std::uint8_t macTail,
                                std::uint16_t firmware = 200) {
    sim::DeviceConfig config;
    config.model = model;
    config.firmwareVersion = firmware;
    config.mac = {0x24, 0x6F, 0x28, 0x1A, 0x00, macTail};
    return config;
}

/// An adapter with `devices` behind it, its timed steps shortened.
inline sim::LinkConfig gear(std::vector<sim::DeviceConfig> devices) {
    sim::LinkConfig config;
    config.devices = std::move(devices);
    config.timings.pairingTime = 100ms;
    config.timings.statusInterval = 20ms;
    return config;
}

/// Pollers that ask at once instead of after two seconds.
inline link::LinkTimings fastTimings() {
    link::LinkTimings timings;
    timings.pollerPause = 100ms;
    return timings;
}

class BundleRig {
public:
    /// Starts the emulator with `config` and a bundle handler on it; nothing paired yet.
    explicit BundleRig(sim::LinkConfig config) : linkId_(freshLinkId()) {
        config.linkID = linkId_;
        emulator_ = std::make_unique<sim::EmulatedLink>(config);
        model::LinkInfo info;
        info.linkType = config.linkType;
        info.linkID = linkId_;
        info.portName = emulator_->path();
        info.initialFoundEpoch = "1700000000000000000";
        info.isValid = true;
        handler_ = std::make_unique<BundleHandler>(linkId_, info.portName, info.initialFoundEpoch,
                                                   info, fastTimings());
    }
    ~BundleRig() { destroyHandler(); }
    BundleRig(const BundleRig&) = delete;
    BundleRig& operator=(const BundleRig&) = delete;

    /// Pairs over `medium` through the link service and waits for the first status on /status.
    /// False (with a test failure) when any step did not happen in time.
    bool pair(Medium medium) {
        if (!linkStatusKnown()) {
            ADD_FAILURE() << "the link never learnt the adapter's versions";
            return false;
        }
        const json ok{{"result", "ok"}};
        json reply;
        switch (medium) {
            case Medium::rj45:
                reply = link("link1PairingConnect");
                break;
            case Medium::canbus:
                reply = link("link2PairingConnect");
                break;
            case Medium::wireless: {
                const auto& devices = emulator_->config().devices;
                json macs = json::array();
                for (const auto& d : devices) {
                    macs.push_back(fmt::format("{:02X}", fmt::join(d.mac, ":")));
                }
                reply = link("wirelessPairingCreateBundle",
                             {{"deviceCount", devices.size()},
                              {"forcedMasterDevice", model::nameOf(devices.front().model)},
                              {"macList", macs}});
                break;
            }
            case Medium::none:
                ADD_FAILURE() << "no pairing over none";
                return false;
        }
        if (reply != ok) {
            ADD_FAILURE() << "pairing command answered " << reply;
            return false;
        }
        if (!emulator_->waitForPairing(medium, kWait)) {
            ADD_FAILURE() << "the emulator never paired";
            return false;
        }
        return awaitStatus([](const json&) { return true; }).has_value();
    }

    // --- Client side -----------------------------------------------------------------------

    /// One request text to `endpoint` as the gateway sends it; nothing when no reply came or
    /// nobody serves the endpoint.
    std::optional<std::string> ask(const std::string& endpoint, const std::string& text,
                                   std::chrono::milliseconds timeout = kWait) const {
        zmq::socket_t socket(*context_, zmq::socket_type::req);
        socket.set(zmq::sockopt::linger, 0);
        socket.connect(endpoint);
        // A REQ socket whose endpoint is gone (a bundle already destroyed) would block in send
        // for ever; a bound endpoint takes the request at once.
        if (!socket.send(zmq::buffer(text), zmq::send_flags::dontwait)) {
            return std::nullopt;
        }
        const auto reply = bus::receiveWithin(socket, timeout);
        return reply ? std::optional(std::string(reply->to_string_view())) : std::nullopt;
    }
    /// The command service's reply to `request` as JSON (null when none came or it was no JSON).
    json command(const json& request) const {
        if (request.is_object() && request.value("command", json()) == "keyposeStoreCurrentPose") {
            currentPoseStored() = true;
        }
        const auto reply = ask(bus::bundleEndpoint(linkId_), core::dumpCompact(request));
        return reply ? json::parse(*reply, nullptr, false) : json();
    }
    /// The reply of the link service to `name`.
    json link(const std::string& name, json request = json::object()) const {
        request["command"] = name;
        const auto reply = ask(bus::linkEndpoint(linkId_), core::dumpCompact(request));
        return reply && !reply->empty() ? json::parse(*reply, nullptr, false) : json();
    }
    /// The status service's reply.
    json status() const {
        const auto reply = ask(bus::bundleStatusEndpoint(linkId_), "{}");
        return reply ? json::parse(*reply, nullptr, false) : json();
    }
    /// The first status "data" for which `accept` holds. The status service has no event to
    /// wait on, so it is asked every few milliseconds, at most `timeout` long.
    std::optional<json> awaitStatus(const std::function<bool(const json&)>& accept,
                                    std::chrono::milliseconds timeout = kWait) const {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        json last;
        do {
            last = status();
            if (last.is_object() && last["data"].is_object() && accept(last["data"])) {
                return last["data"];
            }
            std::this_thread::sleep_for(5ms);
        } while (std::chrono::steady_clock::now() < deadline);
        ADD_FAILURE() << "no status as awaited; the last reply was " << last;
        return std::nullopt;
    }

    // --- What the emulator received ---------------------------------------------------------

    std::size_t mark() const { return emulator_->receivedCount(); }
    /// The first device message with `opcode` received from index `from` on, in hex ("" when
    /// none came in time).
    std::string sent(std::uint8_t opcode, std::size_t from) const {
        const auto message = emulator_->waitForDeviceMessage(opcode, kWait, from);
        return message ? hex(message->bytes) : std::string();
    }
    /// The device messages received from index `from` on.
    std::vector<sim::Received> deviceMessages(std::size_t from = 0) const {
        std::vector<sim::Received> messages;
        const auto all = emulator_->received();
        for (std::size_t i = from; i < all.size(); ++i) {
            if (all[i].kind == sim::ReceivedKind::deviceMessage) {
                messages.push_back(all[i]);
            }
        }
        return messages;
    }

    /// Stops and destroys the handler (idempotent), as the device service does.
    void destroyHandler() {
        if (handler_) {
            handler_->stop();
            handler_.reset();
        }
    }

    const std::string& linkId() const { return linkId_; }
    sim::EmulatedLink& emulator() { return *emulator_; }
    BundleHandler& handler() { return *handler_; }

private:
    bool linkStatusKnown() const {
        emulator_->waitForCommand(link::AdapterCommand::linkVersions, std::nullopt, kWait);
        // The link service answers an empty text until its poller has taken the versions in; no
        // event tells when, so ask again every few milliseconds.
        const auto deadline = std::chrono::steady_clock::now() + kWait;
        do {
            if (link("status").is_object()) {
                return true;
            }
            std::this_thread::sleep_for(5ms);
        } while (std::chrono::steady_clock::now() < deadline);
        return false;
    }

    std::shared_ptr<zmq::context_t> context_ = bus::SocketRegistry::instance().context();
    std::string linkId_;
    std::unique_ptr<sim::EmulatedLink> emulator_;
    std::unique_ptr<BundleHandler> handler_;  // after the emulator: destroyed first
};

}  // namespace kinetra::bundle::test
