// What the end-to-end benchmark measures: the tests' emulator rig (an emulated link adapter on a
// pseudo-terminal), a BundleHandler on it paired over RJ45 through the link service, and a
// gateway Server on loopback ports. Built and torn down on the benchmark's main thread; every
// part runs its own threads.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "bundle/bundle_handler.hpp"
#include "gateway/server.hpp"
#include "support/emulated_rig.hpp"

namespace kinetra::bench {

class BundleRig {
public:
    /// Starts the emulator (status messages every `statusInterval`), the bundle and the server
    /// with `workers` worker threads, pairs the link and waits for the first decoded status.
    /// Ends the program with a message when a step does not complete in time.
    BundleRig(std::chrono::milliseconds statusInterval, std::size_t workers);
    /// Server first, then the bundle (and its link handler), then the emulator.
    ~BundleRig();
    BundleRig(const BundleRig&) = delete;
    BundleRig& operator=(const BundleRig&) = delete;

    const std::string& linkId() const { return rig_.linkId(); }
    /// The bundle's URL path, for HTTP and WebSocket alike.
    std::string bundlePath() const { return "/v1/bundle/" + linkId(); }
    /// A realTimeMoveFixedDuration naming exactly the axes the devices report as real-time.
    std::string realTimeMoveRequest() const;
    /// One request to the bundle's status service over the bus; empty when none came in time.
    std::string askStatus() const { return rig_.status().dump(); }

    sim::EmulatedLink& emulator() { return rig_.emulator(); }
    bundle::BundleHandler& bundle() { return *bundle_; }
    gateway::Server& server() { return *server_; }

private:
    testing::EmulatedRig rig_;
    std::unique_ptr<bundle::BundleHandler> bundle_;
    std::unique_ptr<gateway::Server> server_;
};

}  // namespace kinetra::bench
