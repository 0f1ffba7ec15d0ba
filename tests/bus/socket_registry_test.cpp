#include "bus/socket_registry.hpp"

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "bus/announce.hpp"
#include "bus/endpoints.hpp"

namespace kinetra::bus {
namespace {

using namespace std::chrono_literals;

// Announcements are applied by the registry thread; wait (bounded) for the table to follow.
bool becomes(const std::string& endpoint, bool open) {
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while (std::chrono::steady_clock::now() < deadline) {
        if (SocketRegistry::instance().isOpen(endpoint) == open) {
            return true;
        }
        std::this_thread::sleep_for(1ms);
    }
    return false;
}

TEST(SocketRegistry, NeverAnnouncedEndpointsAreNotOpen) {
    auto& registry = SocketRegistry::instance();
    EXPECT_FALSE(registry.isOpen("inproc://v1/device"));
    EXPECT_FALSE(registry.isOpen(std::string(kConfigurationEndpoint)));
    EXPECT_FALSE(registry.isOpen(std::string(kLinkScanEndpoint)));
}

TEST(SocketRegistry, FollowsOpenCloseAndReopen) {
    const std::vector<std::string> names{"inproc://v1/link/A1", "inproc://v1/link/A1/detect"};
    announceOpen(names);
    EXPECT_TRUE(becomes(names[0], true));
    EXPECT_TRUE(becomes(names[1], true));

    announceClosed(names);
    EXPECT_TRUE(becomes(names[0], false));
    EXPECT_TRUE(becomes(names[1], false));

    announceOpen(std::vector<std::string>{names[0]});
    EXPECT_TRUE(becomes(names[0], true));
    EXPECT_FALSE(SocketRegistry::instance().isOpen(names[1]));
}

TEST(SocketRegistry, MatchesTheExactName) {
    announceOpen(std::vector<std::string>{"inproc://v1/bundle/Ab"});
    ASSERT_TRUE(becomes("inproc://v1/bundle/Ab", true));
    EXPECT_FALSE(SocketRegistry::instance().isOpen("inproc://v1/bundle/ab"));
    EXPECT_FALSE(SocketRegistry::instance().isOpen("inproc://v1/bundle/Ab/"));
    EXPECT_FALSE(SocketRegistry::instance().isOpen("inproc://v1/bundle/A"));
}

// Waits until the registry has taken every announcement sent so far: one marker through each
// of the two sockets, each queue being first in, first out.
void awaitAnnouncementsApplied(const std::string& tag) {
    const std::vector<std::string> opened{"inproc://marker/open/" + tag};
    const std::vector<std::string> closed{"inproc://marker/closed/" + tag};
    announceOpen(opened);
    announceClosed(closed);
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while (std::chrono::steady_clock::now() < deadline &&
           !(SocketRegistry::instance().entry(opened[0]) &&
             SocketRegistry::instance().entry(closed[0]))) {
        std::this_thread::sleep_for(1ms);
    }
}

TEST(SocketRegistry, ClosedEntryStaysInTheTable) {
    const std::vector<std::string> name{"inproc://v1/bundle/X/status"};
    EXPECT_FALSE(SocketRegistry::instance().entry(name[0]).has_value());
    announceOpen(name);
    announceClosed(name);
    awaitAnnouncementsApplied("stays");
    EXPECT_EQ(SocketRegistry::instance().entry(name[0]), std::optional<bool>(false));
}

// A service that stops and comes back at once sends open, closed, open through two sockets; in
// whatever order the registry takes them, the endpoint must end open.
TEST(SocketRegistry, QuickCloseAndReopenEndsOpen) {
    for (int round = 0; round < 20; ++round) {
        const std::vector<std::string> name{"inproc://v1/bundle/R" + std::to_string(round)};
        announceOpen(name);
        announceClosed(name);
        announceOpen(name);
        awaitAnnouncementsApplied(std::to_string(round));
        EXPECT_TRUE(SocketRegistry::instance().isOpen(name[0])) << name[0];
    }
}

TEST(SocketRegistry, BurstOfAnnouncementsIsFullyApplied) {
    std::vector<std::string> names;
    for (int i = 0; i < 200; ++i) {
        names.push_back("inproc://v1/link/burst" + std::to_string(i));
    }
    announceOpen(names);
    for (const auto& name : names) {
        EXPECT_TRUE(becomes(name, true)) << name;
    }
}

TEST(SocketRegistry, ConcurrentLookupsWhileAnnouncing) {
    std::atomic<bool> done{false};
    std::vector<std::jthread> readers;
    for (int i = 0; i < 4; ++i) {
        readers.emplace_back([&] {
            while (!done) {
                (void)SocketRegistry::instance().isOpen("inproc://v1/link/concurrent");
            }
        });
    }
    for (int i = 0; i < 20; ++i) {
        announceOpen(std::vector<std::string>{"inproc://v1/link/concurrent"});
        announceClosed(std::vector<std::string>{"inproc://v1/link/concurrent"});
    }
    announceOpen(std::vector<std::string>{"inproc://v1/link/concurrent"});
    EXPECT_TRUE(becomes("inproc://v1/link/concurrent", true));
    done = true;
}

}  // namespace
}  // namespace kinetra::bus
