// Start-up of the end-to-end benchmark's rig, on the benchmark's main thread. The link's
// pollers ask soon (100 ms) so that the adapter's versions are known before pairing; once known
// they stop, so nothing but the benchmark's own traffic and the status messages use the line.
#include "bundle_rig.hpp"

#include <cstdio>
#include <cstdlib>

#include "model/axis_slot.hpp"

namespace kinetra::bench {
namespace {

using namespace std::chrono_literals;

[[noreturn]] void giveUp(const std::string& step) {
    std::fprintf(stderr, "bundle benchmark set-up: %s\n", step.c_str());
    std::exit(1);
}

sim::LinkConfig benchConfig(std::chrono::milliseconds statusInterval) {
    sim::LinkConfig config;  // a real-time pan/tilt head and a slider
    config.timings.statusInterval = statusInterval;
    return config;
}

}  // namespace

BundleRig::BundleRig(std::chrono::milliseconds statusInterval, std::size_t workers)
    : rig_(benchConfig(statusInterval), "KBENCH01") {
    const auto info = rig_.linkInfo();
    bundle_ = std::make_unique<bundle::BundleHandler>(linkId(), info.portName, "0", info,
                                                      testing::fastTimings());
    if (const auto failure = rig_.pair(model::LinkConnectionType::rj45); !failure.empty()) {
        giveUp(failure);
    }
    // No event tells that the bundle decoded a status; this is set-up, not a measurement.
    if (!testing::waitUntil(
            [&] { return bundle_->isPaired() && bundle_->lastStatusTime() != 0; })) {
        giveUp("the bundle never paired or never decoded a status message");
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

}  // namespace kinetra::bench
