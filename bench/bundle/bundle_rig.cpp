// Start-up of the end-to-end benchmark's rig, on the benchmark's main thread. The link's
// pollers ask soon (100 ms) so that the adapter's versions are known before pairing; once known
// they stop, so nothing but the benchmark's own traffic and the status messages use the line.
#include "bundle_rig.hpp"

#include <cstdio>
#include <cstdlib>
#include <thread>

#include <zmq.hpp>

#include "bus/endpoints.hpp"
#include "bus/socket_registry.hpp"
#include "bus/wait.hpp"
#include "core/json.hpp"
#include "model/axis_slot.hpp"

namespace kinetra::bench {
namespace {

using namespace std::chrono_literals;

constexpr auto kStepTimeout = 5s;

[[noreturn]] void giveUp(const char* step) {
    std::fprintf(stderr, "bundle benchmark set-up: %s\n", step);
    std::exit(1);
}

}  // namespace

BundleRig::BundleRig(std::chrono::milliseconds statusInterval, std::size_t workers) {
    sim::LinkConfig config;  // a real-time pan/tilt head and a slider
    config.linkID = linkId_;
    config.timings.statusInterval = statusInterval;
    emulator_ = std::make_unique<sim::EmulatedLink>(config);

    model::LinkInfo info;
    info.linkType = config.linkType;
    info.linkID = linkId_;
    info.portName = emulator_->path();
    info.isValid = true;
    link::LinkTimings timings;
    timings.pollerPause = 100ms;
    bundle_ =
        std::make_unique<bundle::BundleHandler>(linkId_, emulator_->path(), "0", info, timings);

    // RJ45 pairs once the adapter's versions are known; the link service answers in order, so
    // a "status" answered after the poller's request comes after them.
    if (!emulator_->waitForCommand(link::AdapterCommand::linkVersions, std::nullopt,
                                   kStepTimeout)) {
        giveUp("the link never asked the adapter for its versions");
    }
    const auto endpoint = bus::linkEndpoint(linkId_);
    if (ask(endpoint, R"({"command":"status"})").empty() ||
        ask(endpoint, R"({"command":"link1PairingConnect"})") != R"({"result":"ok"})") {
        giveUp("link1PairingConnect was not answered ok");
    }
    // No event tells that the bundle decoded a status; this is set-up, not a measurement.
    const auto deadline = std::chrono::steady_clock::now() + kStepTimeout;
    while (!bundle_->isPaired() || bundle_->lastStatusTime() == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            giveUp("the bundle never paired or never decoded a status message");
        }
        std::this_thread::sleep_for(5ms);
    }

    server_ = std::make_unique<gateway::Server>(
        config::ServerSettings{"127.0.0.1", "0", "127.0.0.1", "0", "127.0.0.1", "0"});
    server_->start(workers);
    if (server_->httpPort() == 0 || server_->webSocketPort() == 0) {
        giveUp("the gateway did not listen");
    }
}

BundleRig::~BundleRig() {
    server_.reset();
    bundle_.reset();
    emulator_.reset();
}

std::string BundleRig::realTimeMoveRequest() const {
    const auto axes = bundle_->snapshot().realTimeSupportedAxes;
    json request{{"command", "realTimeMoveFixedDuration"}, {"duration", 0.5}};
    double value = 1.5;
    for (const auto slot : model::kAllAxisSlots) {
        // Zoom is reported but never commanded.
        if (model::hasSlot(axes, slot) && slot != model::AxisSlot::zoom) {
            request[std::string(model::kAxisRequestKeyTable.nameOf(slot))] = value;
            value = -value;
        }
    }
    return core::dumpCompact(request);
}

std::string BundleRig::askStatus() const {
    return ask(bus::bundleStatusEndpoint(linkId_), "{}");
}

std::string BundleRig::ask(const std::string& endpoint, std::string_view request) const {
    auto context = bus::SocketRegistry::instance().context();
    zmq::socket_t socket(*context, zmq::socket_type::req);
    socket.set(zmq::sockopt::linger, 0);
    socket.connect(endpoint);
    socket.send(zmq::buffer(request), zmq::send_flags::none);
    const auto reply = bus::receiveWithin(socket, kStepTimeout);
    return reply ? std::string(reply->to_string_view()) : std::string();
}

}  // namespace kinetra::bench
