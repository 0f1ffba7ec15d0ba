// The shared emulator rig's client side, on the caller's thread.
#include "support/emulated_rig.hpp"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <atomic>

#include "bus/endpoints.hpp"
#include "bus/service_loop.hpp"
#include "bus/socket_registry.hpp"

namespace kinetra::testing {

using namespace std::chrono_literals;

std::string freshLinkId(std::string_view prefix) {
    static std::atomic<int> next{1};
    return std::string(prefix) + std::to_string(next++);
}

link::LinkTimings fastTimings() {
    link::LinkTimings timings;
    timings.pollerPause = 100ms;
    return timings;
}

sim::DeviceConfig device(model::DeviceModel model, std::uint8_t macTail, std::uint16_t firmware) {
    sim::DeviceConfig config;
    config.model = model;
    config.firmwareVersion = firmware;
    config.mac = {0x24, 0x6F, 0x28, 0x1A, 0x00, macTail};
    return config;
}

sim::LinkConfig gear(std::vector<sim::DeviceConfig> devices) {
    sim::LinkConfig config;
    config.devices = std::move(devices);
    config.timings.pairingTime = 100ms;
    config.timings.statusInterval = 20ms;
    return config;
}

EmulatedRig::EmulatedRig(sim::LinkConfig config, std::string linkId)
    : linkId_(linkId.empty() ? freshLinkId("KRIG") : std::move(linkId)) {
    config.linkID = linkId_;
    emulator_ = std::make_unique<sim::EmulatedLink>(std::move(config));
}

model::LinkInfo EmulatedRig::linkInfo() const {
    model::LinkInfo info;
    info.linkType = emulator_->config().linkType;
    info.linkID = linkId_;
    info.portName = emulator_->path();
    info.initialFoundEpoch = "1700000000000000000";
    info.present = true;
    return info;
}

std::optional<std::string> EmulatedRig::ask(const std::string& endpoint, std::string_view text,
                                            std::chrono::milliseconds timeout) const {
    auto context = bus::SocketRegistry::instance().context();
    // The send is bounded too: with the service gone (its name unbound) it would wait for ever.
    auto socket = bus::makeRequestSocket(*context, endpoint, {timeout, timeout});
    if (!socket.send(zmq::buffer(text), zmq::send_flags::none)) {
        return std::nullopt;
    }
    const auto reply = bus::receiveWithin(socket, timeout);
    return reply ? std::optional(std::string(reply->to_string_view())) : std::nullopt;
}

namespace {

json parsed(const std::optional<std::string>& reply) {
    return reply && !reply->empty() ? json::parse(*reply, nullptr, false) : json();
}

}  // namespace

json EmulatedRig::link(const std::string& name, json request) const {
    request["command"] = name;
    return parsed(ask(bus::linkEndpoint(linkId_), core::dumpCompact(request)));
}

json EmulatedRig::command(const json& request) const {
    return parsed(ask(bus::bundleEndpoint(linkId_), core::dumpCompact(request)));
}

json EmulatedRig::status() const {
    return parsed(ask(bus::bundleStatusEndpoint(linkId_), "{}"));
}

bool EmulatedRig::awaitLinkStatus() const {
    // The link service answers an empty text until its poller has taken the versions in; no
    // event tells when, so it is asked again.
    return emulator_->waitForCommand(link::AdapterCommand::linkVersions, std::nullopt, kWait) &&
           waitUntil([&] { return link("status").is_object(); });
}

std::string EmulatedRig::pair(model::LinkConnectionType medium) const {
    using Medium = model::LinkConnectionType;
    if (!awaitLinkStatus()) {
        return "the link never learnt the adapter's versions";
    }
    json reply;
    if (medium == Medium::rj45) {
        reply = link("link1PairingConnect");
    } else if (medium == Medium::canbus) {
        reply = link("link2PairingConnect");
    } else if (medium == Medium::wireless) {
        const auto& devices = emulator_->config().devices;
        json macs = json::array();
        for (const auto& d : devices) {
            macs.push_back(fmt::format("{:02X}", fmt::join(d.mac, ":")));
        }
        reply = link("wirelessPairingCreateBundle",
                     {{"deviceCount", devices.size()},
                      {"forcedMasterDevice", model::nameOf(devices.front().model)},
                      {"macList", macs}});
    } else {
        return "no pairing over none";
    }
    if (reply != json{{"result", "ok"}}) {
        return "the pairing command answered " + reply.dump();
    }
    return emulator_->waitForPairing(medium, kWait) ? "" : "the emulator never paired";
}

std::vector<sim::Received> EmulatedRig::deviceMessages(std::size_t from) const {
    std::vector<sim::Received> messages;
    const auto all = emulator_->received();
    for (std::size_t i = from; i < all.size(); ++i) {
        if (all[i].kind == sim::ReceivedKind::deviceMessage) {
            messages.push_back(all[i]);
        }
    }
    return messages;
}

std::string EmulatedRig::sent(std::uint8_t opcode, std::size_t from) const {
    const auto message = emulator_->waitForDeviceMessage(opcode, kWait, from);
    return message ? hex(message->bytes) : std::string();
}

}  // namespace kinetra::testing
