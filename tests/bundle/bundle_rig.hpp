// One bundle under test: a real BundleHandler on the shared emulator rig, nothing paired yet.
// The rig's steps that did not happen in time become test failures here. Used from the test's
// threads; the services run on the handler's threads.
#pragma once

#include <functional>
#include <memory>
#include <optional>

#include <gtest/gtest.h>

#include "bundle/bundle_handler.hpp"
#include "bus/endpoints.hpp"
#include "bus/socket_registry.hpp"
#include "support/emulated_rig.hpp"

namespace kinetra::bundle::test {

using namespace std::chrono_literals;
using Medium = model::LinkConnectionType;
using kinetra::testing::device;
using kinetra::testing::gear;
using kinetra::testing::hex;
using kinetra::testing::kWait;
using kinetra::testing::waitUntil;
using model::DeviceModel;

class BundleRig : public kinetra::testing::EmulatedRig {
public:
    explicit BundleRig(sim::LinkConfig config) : EmulatedRig(std::move(config)) {
        const auto info = linkInfo();
        handler_ = std::make_unique<BundleHandler>(linkId(), info.portName, info.initialFoundEpoch,
                                                   info, kinetra::testing::fastTimings());
    }
    ~BundleRig() { destroyHandler(); }
    BundleRig(const BundleRig&) = delete;
    BundleRig& operator=(const BundleRig&) = delete;

    /// Pairs over `medium` and waits for the first status on /status; false (with a test
    /// failure) when a step did not happen in time.
    bool pair(Medium medium) {
        const auto failure = EmulatedRig::pair(medium);
        if (!failure.empty()) {
            ADD_FAILURE() << failure;
            return false;
        }
        return awaitStatus([](const json&) { return true; }).has_value();
    }

    /// The first status "data" for which `accept` holds. The status service has no event to
    /// wait on, so it is asked again until the bound.
    std::optional<json> awaitStatus(const std::function<bool(const json&)>& accept) const {
        json last;
        const bool seen = waitUntil([&] {
            last = status();
            return last.is_object() && last["data"].is_object() && accept(last["data"]);
        });
        if (!seen) {
            ADD_FAILURE() << "no status as awaited; the last reply was " << last;
            return std::nullopt;
        }
        return last["data"];
    }

    /// Stops and destroys the handler (idempotent), as the device service does.
    void destroyHandler() {
        if (handler_) {
            handler_->stop();
            handler_.reset();
        }
    }

private:
    std::unique_ptr<BundleHandler> handler_;
};

}  // namespace kinetra::bundle::test
