// The registry's table of open endpoints follows the announcements, which its own thread
// applies: every check waits (bounded) until the announcements sent so far are applied.
#include "bus/socket_registry.hpp"

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "bus/announce.hpp"
#include "support/wait.hpp"

namespace kinetra::bus {
namespace {

// Waits until the registry has taken every announcement sent so far: one marker through each
// of the two sockets, each queue being first in, first out.
void awaitAnnouncementsApplied(const std::string& tag) {
    const std::vector<std::string> opened{"inproc://marker/open/" + tag};
    const std::vector<std::string> closed{"inproc://marker/closed/" + tag};
    announceOpen(opened);
    announceClosed(closed);
    ASSERT_TRUE(kinetra::testing::waitUntil([&] {
        return SocketRegistry::instance().entry(opened[0]) &&
               SocketRegistry::instance().entry(closed[0]);
    }));
}

// A service that stops and comes back at once sends open, closed, open through two sockets; in
// whatever order the registry takes them, the endpoint must end open. Readers look up all along,
// and a burst of announcements comes on top.
TEST(SocketRegistry, QuickCloseAndReopenEndsOpenWhileOthersLookUp) {
    std::atomic<bool> done{false};
    std::vector<std::jthread> readers;
    for (int i = 0; i < 4; ++i) {
        readers.emplace_back([&] {
            while (!done) {
                (void)SocketRegistry::instance().isOpen("inproc://v1/bundle/R0");
            }
        });
    }
    std::vector<std::string> burst;
    for (int round = 0; round < 20; ++round) {
        const std::vector<std::string> name{"inproc://v1/bundle/R" + std::to_string(round)};
        announceOpen(name);
        announceClosed(name);
        announceOpen(name);
        awaitAnnouncementsApplied(std::to_string(round));
        EXPECT_TRUE(SocketRegistry::instance().isOpen(name[0])) << name[0];
        for (int i = 0; i < 10; ++i) {
            burst.push_back(name[0] + "/burst" + std::to_string(i));
        }
    }
    announceOpen(burst);
    awaitAnnouncementsApplied("burst");
    for (const auto& name : burst) {
        EXPECT_TRUE(SocketRegistry::instance().isOpen(name)) << name;
    }
    done = true;
}

}  // namespace
}  // namespace kinetra::bus
