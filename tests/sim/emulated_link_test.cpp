// The emulated link over a real pseudo-terminal, driven the way the server drives a link: frames
// from the link builders, routing by classify, bundle commands planned by the server's planner.
// Then the fault switches the emulator's thread applies itself, and the pseudo-terminal's life:
// closed and reopened by the host, pulled by the emulator, and an idle emulator that sleeps.
#include "sim/emulated_link.hpp"

#include <filesystem>

#include <gtest/gtest.h>

#include "bundle/keypose_answers.hpp"
#include "bundle/motion_messages.hpp"
#include "model/numeric_limits.hpp"
#include "test_host.hpp"

namespace kinetra::sim {
namespace {

using namespace std::chrono_literals;
using namespace link::frames;
using model::AxisSlot;
using testing::axes;
using testing::bytesOf;
using testing::kLongWait;
using testing::kReplyWait;
using testing::TestHost;
using Medium = model::LinkConnectionType;
constexpr auto kAdapter = model::LinkType::linkAdapter;

bool versionsAnswered(TestHost& host) {
    return host.exchange(linkVersions, link::kLinkVersionsReply).has_value();
}

// Scan, attach, pair, then drive the bundle as the server does.
TEST(EmulatedLink, WirelessBundleAnswersTheServersCommands) {
    LinkConfig config;
    config.timings.pairingTime = 200ms;
    EmulatedLink emulator(config);
    TestHost host(emulator.path(), kAdapter);
    const auto started = Clock::now();
    ASSERT_TRUE(host.exchange(scanStart, link::kRadioReply));
    ASSERT_TRUE(host.exchange(scanResults, link::kScanResultsReply));
    const auto mac = emulator.config().devices[0].mac;
    ASSERT_TRUE(host.exchange([&](auto& e) { attachToBundle(e, mac); }, link::kRadioReply));
    ASSERT_TRUE(host.awaitStatus({}, kLongWait));
    EXPECT_EQ(host.connection(), Medium::wireless);
    EXPECT_TRUE(emulator.waitForPairing(Medium::wireless, kReplyWait));
    const auto received = emulator.received();  // in arrival order
    ASSERT_EQ(received.size(), 3u);
    EXPECT_TRUE(received[0].isRadio(link::RadioCommand::scanStart));
    EXPECT_TRUE(received[2].isRadio(link::RadioCommand::attachToBundle));
    // Arrival and status times, which latency measurements rely on, follow the traffic.
    EXPECT_GE(received[0].at, started);
    EXPECT_LT(received[0].at, received[2].at);
    EXPECT_GT(emulator.state().lastStatusSentAt, received[2].at);

    // Device messages from the server's builders; answers read by its decoders.
    const auto head = model::DeviceModel::turretAlpha2;
    host.sendDevice(bytesOf(bundle::keyposeStoreWithNumericDataMessage(
        head, 1, 7,
        axes({{AxisSlot::headPan, 20}, {AxisSlot::headTilt, -5}, {AxisSlot::slide, 0.5f}}))));
    EXPECT_TRUE(host.awaitStatus([](const auto& s) { return s.keyposeSlotsFilled[1]; }));
    EXPECT_EQ(emulator.state().acknowledge, 1);
    host.sendDevice(bytesOf(bundle::keyposeReadRequestMessage(head, 1)));
    const auto pose = host.awaitDeviceReply(18, 16);
    ASSERT_TRUE(pose.has_value());
    EXPECT_EQ(bundle::decodeKeyposeReadAnswer(head, 0x07, pose->message()).value().dump(),
              R"({"headPan":20.0,"headTilt":-5.0,"index":1,"slide":0.5})");
    host.sendDevice(bundle::numericLimitsRequestMessage());
    const auto limits = host.awaitDeviceReply(26, 16);
    ASSERT_TRUE(limits.has_value());
    EXPECT_EQ(model::deriveNumericLimits(limits->message()).value()[AxisSlot::slide].max, 20.0f);
    // The server sends a real-time move without waiting; the status messages show where it ends.
    host.sendDevice(bytesOf(bundle::realTimeMoveMessage(
        0.3f, axes({{AxisSlot::headPan, -10}, {AxisSlot::headTilt, 0}, {AxisSlot::slide, 0}}))));
    EXPECT_TRUE(host.awaitStatus(
        [](const auto& s) { return s.activity == 0 && s.headPan == -10.0f; }, kLongWait));
}

TEST(EmulatedLink, FaultSwitchesChangeWhatTheHostHearsWhileItRuns) {
    EmulatedLink emulator;
    TestHost host(emulator.path(), kAdapter);
    emulator.updateFaults([](Faults& f) { f.silent = true; });
    host.send(linkVersions);
    host.send(scanStart);
    ASSERT_TRUE(emulator.waitForCommand(link::AdapterCommand::radioCommand,
                                        link::RadioCommand::scanStart, kReplyWait));
    EXPECT_TRUE(emulator.state().scanning);  // it acted, it just said nothing
    EXPECT_TRUE(host.awaitQuiet(300ms));
    EXPECT_TRUE(host.payloads().empty());

    // Each reply comes after noise and a copy whose sum is off by one.
    emulator.updateFaults([](Faults& f) {
        f.silent = false;
        f.noise = true;
    });
    ASSERT_TRUE(versionsAnswered(host));
    EXPECT_EQ(host.discardedFrames(), 2u);
    EXPECT_EQ(host.payloads().size(), 1u);
    emulator.inject(core::Bytes{0x00, 0x03, 0x00, 0x04, 0xC0});  // 00 03 with a wrong sum
    EXPECT_TRUE(host.awaitQuiet(200ms));
    EXPECT_EQ(host.discardedFrames(), 3u);

    emulator.updateFaults([](Faults& f) {
        f.noise = false;
        f.replyDelay = 300ms;
    });
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(versionsAnswered(host));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
}

TEST(PseudoTerminal, DisappearingEndsTheLineAndRemovesThePath) {
    EmulatedLink emulator;
    TestHost host(emulator.path(), kAdapter);
    ASSERT_TRUE(versionsAnswered(host));
    emulator.disappear();
    EXPECT_TRUE(host.awaitLineEnd());
    EXPECT_TRUE(
        emulator.waitForState([](const EmulatorState& s) { return s.disappeared; }, kReplyWait));
    host.close();
    EXPECT_FALSE(std::filesystem::exists(emulator.path()));
}

// The host closes the port (a server restart): the devices stay paired; the emulator neither
// spins on the hang-up nor fills the line; the next opener hears fresh status messages.
TEST(PseudoTerminal, HostMayCloseAndReopenTheLine) {
    LinkConfig config;
    config.timings.pairingTime = 100ms;
    EmulatedLink emulator(config);
    TestHost host(emulator.path(), kAdapter);
    ASSERT_TRUE(host.exchange(link2Connect, link::kLink2ConnectReply));
    ASSERT_TRUE(host.awaitStatus({}, kLongWait));

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
    ASSERT_TRUE(host.awaitStatus({}, kLongWait));
    EXPECT_TRUE(emulator.state().terminalOpen);
    EXPECT_EQ(emulator.state().pairedMedium, Medium::canbus);
    EXPECT_TRUE(versionsAnswered(host));
}

TEST(PseudoTerminal, IdleEmulatorSleepsWhetherTheLineIsOpenOrNot) {
    EmulatedLink emulator;
    const auto staysAsleep = [&](std::size_t turns) {
        const auto wakeUps = emulator.state().wakeUps;
        return !emulator.waitForState(
            [&](const EmulatorState& s) { return s.wakeUps > wakeUps + turns; }, 300ms);
    };
    {
        TestHost host(emulator.path(), kAdapter);
        ASSERT_TRUE(versionsAnswered(host));
        EXPECT_TRUE(staysAsleep(2));
    }
    // Nobody has the line open now: still asleep, woken only by the opener.
    ASSERT_TRUE(
        emulator.waitForState([](const EmulatorState& s) { return !s.terminalOpen; }, kReplyWait));
    EXPECT_TRUE(staysAsleep(4));
    TestHost again(emulator.path(), kAdapter);
    EXPECT_TRUE(versionsAnswered(again));
}

}  // namespace
}  // namespace kinetra::sim
