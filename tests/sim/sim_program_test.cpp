// kinetra-sim run from the command line with faults, as a user testing a host program of their
// own runs it: silent until SIGUSR1, then every second reply lost and the others late.
#include <signal.h>

#include <gtest/gtest.h>

#include "link/adapter_commands.hpp"
#include "support/child_process.hpp"
#include "support/temporary_tree.hpp"
#include "test_host.hpp"

namespace kinetra::sim {
namespace {

using namespace std::chrono_literals;
using testing::kReplyWait;
using testing::TestHost;

TEST(SimulatorProgram, PutsItsFaultsOnTheLineAndSwitchesSilenceOnSIGUSR1) {
    const kinetra::testing::TemporaryTree tree;
    kinetra::testing::ChildProcess simulator(
        {KINETRA_SIM_PATH, "--silent", "--drop-every", "2", "--reply-delay-ms", "200"},
        tree.bin().string());
    ASSERT_TRUE(simulator.waitForOutput("\n", kReplyWait));  // the terminal's path comes first
    TestHost host(simulator.output().substr(0, simulator.output().find('\n')));
    // Whether the versions come within `wait`, and how long they took.
    const auto versions = [&](testing::Milliseconds wait) {
        const auto asked = std::chrono::steady_clock::now();
        const auto from = host.payloads.size();
        host.send(link::frames::linkVersions);
        const bool came = host.readUntil([&] { return host.payloads.size() > from; }, wait);
        return std::pair(came, std::chrono::steady_clock::now() - asked);
    };
    EXPECT_FALSE(versions(600ms).first);  // the first reply: silenced
    simulator.signal(SIGUSR1);
    ASSERT_TRUE(simulator.waitForOutput("talking again", kReplyWait)) << simulator.output();
    EXPECT_FALSE(versions(600ms).first);  // the second: lost
    const auto [came, took] = versions(kReplyWait);
    EXPECT_TRUE(came);
    EXPECT_GE(took, 200ms);
    simulator.signal(SIGUSR1);
    ASSERT_TRUE(simulator.waitForOutput("silent, until the next SIGUSR1", kReplyWait));
    simulator.signal(SIGTERM);
    EXPECT_EQ(simulator.waitForExit(kReplyWait), std::optional<int>(0)) << simulator.output();
}

}  // namespace
}  // namespace kinetra::sim
