// The emulated link over a real pseudo-terminal: its thread applies the fault switches itself
// and lives through the line's life: closed and reopened by the host, pulled by the emulator.
// Pairing and the devices' side are driven through the real link and bundle in their tests.
#include "sim/emulated_link.hpp"

#include <filesystem>

#include <gtest/gtest.h>

#include "test_host.hpp"

namespace kinetra::sim {
namespace {

using namespace std::chrono_literals;
using namespace link::frames;
using testing::kReplyWait;
using testing::TestHost;
using Medium = model::LinkConnectionType;

bool versionsAnswered(TestHost& host) {
    return host.exchange(linkVersions, link::kLinkVersionsReply);
}

TEST(EmulatedLink, FaultSwitchesChangeWhatTheHostHearsWhileItRuns) {
    EmulatedLink emulator;
    TestHost host(emulator.path());
    emulator.updateFaults([](Faults& f) { f.silent = true; });
    host.send(linkVersions);
    host.send(scanStart);
    ASSERT_TRUE(emulator.waitForCommand(link::AdapterCommand::radioCommand,
                                        link::RadioCommand::scanStart, kReplyWait));
    EXPECT_TRUE(emulator.state().scanning);  // it acted, it just said nothing
    EXPECT_TRUE(host.awaitQuiet(300ms));
    EXPECT_TRUE(host.payloads.empty());

    // Each reply comes after noise and a copy whose sum is off by one.
    emulator.updateFaults([](Faults& f) {
        f.silent = false;
        f.noise = true;
    });
    ASSERT_TRUE(versionsAnswered(host));
    EXPECT_EQ(host.discarded, 2u);
    EXPECT_EQ(host.payloads.size(), 1u);
    emulator.inject(core::Bytes{0x00, 0x03, 0x00, 0x04, 0xC0});  // 00 03 with a wrong sum
    EXPECT_TRUE(host.awaitQuiet(200ms));
    EXPECT_EQ(host.discarded, 3u);

    emulator.updateFaults([](Faults& f) {
        f.noise = false;
        f.replyDelay = 300ms;
    });
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(versionsAnswered(host));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
}

// The host closes the port (a server restart): the devices stay paired; the emulator neither
// spins on the hang-up nor fills the line; the next opener hears fresh status messages. When the
// emulator disappears the line ends and the path goes.
TEST(PseudoTerminal, HostMayCloseAndReopenTheLineUntilItDisappears) {
    LinkConfig config;
    config.timings.pairingTime = 100ms;
    EmulatedLink emulator(config);
    TestHost host(emulator.path());
    ASSERT_TRUE(host.exchange(link2Connect, link::kLink2ConnectReply));
    ASSERT_TRUE(emulator.waitForPairing(Medium::canbus, kReplyWait));

    host.close();
    ASSERT_TRUE(
        emulator.waitForState([](const EmulatorState& s) { return !s.terminalOpen; }, kReplyWait));
    const auto sent = emulator.state().statusMessagesSent;
    const auto wakeUps = emulator.state().wakeUps;
    // Paired, it keeps its 20 a second beat, but writes nothing and does not spin.
    EXPECT_FALSE(emulator.waitForState(
        [&](const EmulatorState& s) { return s.wakeUps > wakeUps + 40; }, 500ms));
    EXPECT_EQ(emulator.state().statusMessagesSent, sent);

    host.reopen();
    ASSERT_TRUE(
        emulator.waitForState([](const EmulatorState& s) { return s.terminalOpen; }, kReplyWait));
    const auto before = host.payloads.size();
    EXPECT_TRUE(host.readUntil([&] { return host.payloads.size() > before; }));
    EXPECT_EQ(emulator.state().pairedMedium, Medium::canbus);
    EXPECT_TRUE(versionsAnswered(host));

    emulator.disappear();
    EXPECT_FALSE(host.readUntil([] { return false; }));
    EXPECT_TRUE(host.lineEnded);
    EXPECT_TRUE(
        emulator.waitForState([](const EmulatorState& s) { return s.disappeared; }, kReplyWait));
    host.close();
    EXPECT_FALSE(std::filesystem::exists(emulator.path()));
}

}  // namespace
}  // namespace kinetra::sim
