// The registry's table of open endpoints follows the announcements, which its own thread
// applies: every check waits (bounded) until the announcement it is about is applied.
#include "bus/socket_registry.hpp"

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "bus/announce.hpp"
#include "support/wait.hpp"

namespace kinetra::bus {
namespace {

bool applied(const std::string& endpoint, std::uint64_t sequence) {
    return kinetra::testing::waitUntil(
        [&] { return SocketRegistry::instance().appliedSequence(endpoint) >= sequence; });
}

// A service that stops and comes back at once sends open, closed, open through three sockets;
// in whatever order the registry takes them, the endpoint must end open. Readers look up all
// along, and a burst of announcements comes on top.
TEST(SocketRegistry, QuickCloseAndReopenEndsOpenWhileOthersLookUp) {
    std::vector<std::jthread> readers;  // stopped and joined however the test ends
    for (int i = 0; i < 4; ++i) {
        readers.emplace_back([](const std::stop_token& stop) {
            while (!stop.stop_requested()) {
                (void)SocketRegistry::instance().isOpen("inproc://v1/bundle/R0");
            }
        });
    }
    std::vector<std::string> burst;
    for (int round = 0; round < 20; ++round) {
        const std::vector<std::string> name{"inproc://v1/bundle/R" + std::to_string(round)};
        announceOpen(name);
        announceClosed(name);
        ASSERT_TRUE(applied(name[0], announceOpen(name))) << name[0];
        EXPECT_TRUE(SocketRegistry::instance().isOpen(name[0])) << name[0];
        for (int i = 0; i < 10; ++i) {
            burst.push_back(name[0] + "/burst" + std::to_string(i));
        }
    }
    // One socket carries the burst in order, so its last one applied means all were taken.
    ASSERT_TRUE(applied(burst.back(), announceOpen(burst)));
    for (const auto& name : burst) {
        EXPECT_TRUE(SocketRegistry::instance().isOpen(name)) << name;
    }
}

}  // namespace
}  // namespace kinetra::bus
