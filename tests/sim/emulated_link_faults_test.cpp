// The fault switches, changed while the emulator runs, and the pseudo-terminal's life: closed and
// reopened by the host, pulled by the emulator, and an idle emulator that does not wake up.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "link/frame_codec.hpp"
#include "sim/emulated_link.hpp"
#include "test_host.hpp"

namespace kinetra::sim {
namespace {

using namespace std::chrono_literals;
using model::LinkConnectionType;
using testing::kLongWait;
using testing::kReplyWait;
using testing::TestHost;
namespace frames = link::frames;

bool versionsAnswered(TestHost& host, Milliseconds timeout = kReplyWait) {
    return host.exchange(frames::linkVersions, link::kLinkVersionsReply, timeout).has_value();
}

bool exists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

class FaultSwitches : public ::testing::Test {
protected:
    FaultSwitches() : host_(emulator_.path(), model::LinkType::linkAdapter) {}

    EmulatedLink emulator_;
    TestHost host_;
};

TEST_F(FaultSwitches, SilentEmulatorStillListens) {
    emulator_.updateFaults([](Faults& f) { f.silent = true; });
    host_.send(frames::linkVersions);
    host_.send(frames::scanStart);
    ASSERT_TRUE(emulator_.waitForCommand(link::AdapterCommand::radioCommand,
                                         link::RadioCommand::scanStart, kReplyWait));
    EXPECT_TRUE(emulator_.state().scanning);  // it acted, it just said nothing
    EXPECT_TRUE(host_.awaitQuiet(300ms));
    EXPECT_TRUE(host_.payloads().empty());
    emulator_.setFaults({});
    EXPECT_TRUE(versionsAnswered(host_));
}

TEST_F(FaultSwitches, EveryNthReplyIsLost) {
    emulator_.updateFaults([](Faults& f) { f.dropEveryNthReply = 3; });
    int answered = 0;
    for (int i = 0; i < 6; ++i) {
        answered += versionsAnswered(host_, 300ms) ? 1 : 0;
    }
    EXPECT_EQ(answered, 4);
    EXPECT_EQ(emulator_.state().repliesDropped, 2u);
}

TEST_F(FaultSwitches, RepliesComeLate) {
    emulator_.updateFaults([](Faults& f) { f.replyDelay = 300ms; });
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(versionsAnswered(host_));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
}

TEST_F(FaultSwitches, NoiseAndBadFramesDoNotHideTheGoodOnes) {
    emulator_.updateFaults([](Faults& f) { f.noise = true; });
    ASSERT_TRUE(versionsAnswered(host_));
    ASSERT_TRUE(versionsAnswered(host_));
    // Each reply came with noise and a copy whose sum is off by one.
    EXPECT_EQ(host_.discardedFrames(), 4u);
    EXPECT_EQ(host_.payloads().size(), 2u);

    const core::Bytes bad{0x00, 0x03, 0x00, 0x04, 0xC0};  // 00 03 with a wrong sum
    emulator_.inject(bad);
    EXPECT_TRUE(host_.awaitQuiet(200ms));
    EXPECT_EQ(host_.discardedFrames(), 5u);
}

TEST_F(FaultSwitches, WirelessPairingEndsInTheChosenProblem) {
    emulator_.updateFaults(
        [](Faults& f) { f.wirelessPairError = link::WirelessPairError::alreadyGroupMember; });
    const auto mac = emulator_.config().devices[0].mac;
    ASSERT_TRUE(
        host_.exchange([&](auto& e) { frames::attachToBundle(e, mac); }, link::kRadioReply));
    ASSERT_TRUE(emulator_.waitForState(
        [](const EmulatorState& s) {
            return s.wirelessPairState == link::WirelessPairState::problem;
        },
        kLongWait));
    const auto reply = host_.exchange(frames::pairStatus, link::kRadioReply);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(link::wirelessPairStatusJson(reply->message()),
              (json{{"lastPairError", "alreadyGroupMember"}, {"wirelessPairState", "problem"}}));
    EXPECT_EQ(host_.statusCount(), 0u);
}

TEST_F(FaultSwitches, DisappearingEndsTheLine) {
    ASSERT_TRUE(versionsAnswered(host_));
    emulator_.disappear();
    EXPECT_TRUE(host_.awaitLineEnd());
    EXPECT_TRUE(
        emulator_.waitForState([](const EmulatorState& s) { return s.disappeared; }, kReplyWait));
    host_.close();
    EXPECT_FALSE(exists(emulator_.path()));
}

// The host closes the port (a server restart): the devices stay paired; the emulator neither
// spins on the hang-up nor fills the line; the next opener hears fresh status messages.
TEST(PseudoTerminal, HostMayCloseAndReopenTheLine) {
    LinkConfig config;
    config.timings.pairingTime = 100ms;
    EmulatedLink emulator(config);
    TestHost host(emulator.path(), model::LinkType::linkAdapter);
    ASSERT_TRUE(host.exchange(frames::link2Connect, link::kLink2ConnectReply));
    ASSERT_TRUE(host.awaitStatus({}, kLongWait));

    host.close();
    ASSERT_TRUE(
        emulator.waitForState([](const EmulatorState& s) { return !s.terminalOpen; }, kReplyWait));
    const auto sent = emulator.state().statusMessagesSent;
    const auto wakeUps = emulator.state().wakeUps;
    // Paired, it still keeps its 20 a second beat, but writes nothing and does not spin.
    EXPECT_FALSE(emulator.waitForState(
        [&](const EmulatorState& s) { return s.wakeUps > wakeUps + 40; }, 500ms));
    EXPECT_EQ(emulator.state().statusMessagesSent, sent);

    host.reopen();
    ASSERT_TRUE(host.awaitStatus({}, kLongWait));
    EXPECT_TRUE(emulator.state().terminalOpen);
    EXPECT_EQ(emulator.state().pairedMedium, LinkConnectionType::canbus);
    EXPECT_TRUE(versionsAnswered(host));
}

TEST(PseudoTerminal, IdleEmulatorSleeps) {
    EmulatedLink emulator;
    {
        TestHost host(emulator.path(), model::LinkType::linkAdapter);
        ASSERT_TRUE(versionsAnswered(host));
        const auto wakeUps = emulator.state().wakeUps;
        EXPECT_FALSE(emulator.waitForState(
            [&](const EmulatorState& s) { return s.wakeUps > wakeUps + 2; }, 300ms));
    }
    // Nobody has the line open now: still asleep, woken only by the opener.
    ASSERT_TRUE(
        emulator.waitForState([](const EmulatorState& s) { return !s.terminalOpen; }, kReplyWait));
    const auto wakeUps = emulator.state().wakeUps;
    EXPECT_FALSE(emulator.waitForState(
        [&](const EmulatorState& s) { return s.wakeUps > wakeUps + 4; }, 300ms));
    TestHost again(emulator.path(), model::LinkType::linkAdapter);
    EXPECT_TRUE(versionsAnswered(again));
}

}  // namespace
}  // namespace kinetra::sim
