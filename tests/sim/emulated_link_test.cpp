// The emulated link over a real pseudo-terminal: its thread applies the fault switches itself
// and lives through the line's life: closed and reopened by the host, pulled by the emulator.
// Pairing and the devices' side are driven through the real link and bundle in their tests.
// Frames and device messages written without a frame share the line; the inbound splitter tells
// them apart however the bytes are cut by the reads.
#include "sim/emulated_link.hpp"
#include "sim/inbound_splitter.hpp"
#include "sim/line_noise.hpp"

#include <algorithm>
#include <filesystem>
#include <utility>

#include <gtest/gtest.h>

#include "sim/device_commands.hpp"
#include "support/hex.hpp"
#include "test_host.hpp"

namespace kinetra::sim {
namespace {

using namespace std::chrono_literals;
using namespace link::frames;
using testing::kReplyWait;
using testing::TestHost;
using Medium = model::LinkConnectionType;
using Kind = InboundUnit::Kind;
using kinetra::testing::hex;
using testing::frameOf;

TEST(EmulatedLink, FaultSwitchesChangeWhatTheHostHearsWhileItRuns) {
    EmulatedLink emulator;
    TestHost host(emulator.path());
    emulator.updateFaults([](Faults& f) { f.silent = true; });
    host.send(linkVersions);
    host.send(scanStart);
    ASSERT_TRUE(emulator.waitForCommand(link::AdapterCommand::radioCommand,
                                        link::RadioCommand::scanStart, kReplyWait));
    EXPECT_TRUE(emulator.state().scanning);  // it acted, it just said nothing
    // Nothing at all comes for a while, and the line stays up.
    EXPECT_FALSE(
        host.readUntil([&] { return !host.payloads.empty() || host.discarded() > 0; }, 300ms));
    EXPECT_FALSE(host.lineEnded);

    // Replies come through the noise whole, and nothing else passes for one.
    emulator.updateFaults([](Faults& f) {
        f.silent = false;
        f.noise = true;
    });
    for (int i = 0; i < 8; ++i) {
        ASSERT_TRUE(host.exchange(linkVersions, link::kLinkVersionsReply)) << i;
    }
    EXPECT_EQ(host.payloads.size(), 8u);
    EXPECT_GT(host.discarded(), 0u);
}

// The noisy line fed to a host's decoder: every frame comes out whole and in order (frames
// holding end and escape bytes too), nothing else does, and both kinds of noise occur.
TEST(LineNoise, ADecoderDropsAllOfItAndKeepsEveryFrame) {
    LineNoise noise(7);
    core::Bytes line;
    std::vector<core::Bytes> sent;
    for (std::uint8_t i = 0; i < 200; ++i) {
        sent.push_back({i, link::kEndByte, static_cast<std::uint8_t>(i * 7), link::kEscapeByte});
        noise.appendBefore(line, sent.back());
        const auto frame =
            frameOf([&](link::FrameEncoder& e) { (void)encodeFrame(e, sent.back()); });
        line.insert(line.end(), frame.begin(), frame.end());
    }
    link::FrameDecoder decoder;
    std::vector<core::Bytes> received;
    decoder.feed(line, [&](core::ByteView p) { received.emplace_back(p.begin(), p.end()); });
    EXPECT_EQ(received, sent);
    // Each burst and each spoiled copy ends in an end byte of its own: about 100 and 50.
    const auto ends =
        static_cast<std::size_t>(std::count(line.begin(), line.end(), link::kEndByte));
    EXPECT_GT(ends, 200u + 120u);
    EXPECT_LT(ends, 200u + 180u);
}

// The host closes the port (a server restart): the devices stay paired; the emulator neither
// spins on the hang-up nor fills the line, and answers the next opener. When the emulator
// disappears the line ends and the path goes.
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
    EXPECT_EQ(emulator.state().pairedMedium, Medium::canbus);
    EXPECT_TRUE(host.exchange(linkVersions, link::kLinkVersionsReply));

    emulator.disappear();
    EXPECT_FALSE(host.readUntil([] { return false; }));
    EXPECT_TRUE(host.lineEnded);
    EXPECT_TRUE(
        emulator.waitForState([](const EmulatorState& s) { return s.disappeared; }, kReplyWait));
    host.close();
    EXPECT_FALSE(std::filesystem::exists(emulator.path()));
}

// A radio chunk frame begins like a 17-byte device message; only the frame reading holds, even
// when the read cuts it.
TEST(InboundSplitter, SeparatesFramesFromMessagesAndGivesUpOnBytesThatNeverComplete) {
    InboundSplitter splitter{Milliseconds(50)};
    const InboundSplitter::MessageAt messageAt = [](core::ByteView bytes) {
        return wholeDeviceMessageAt(bytes, model::DeviceModel::turretAlpha2);
    };
    std::vector<InboundUnit> units;
    // Feeds `parts` as one read; the units split off since the last call, "frame <payload>" or
    // "unframed <message>", joined by " | ".
    const auto split = [&](std::initializer_list<core::Bytes> parts) {
        core::Bytes read;
        for (const auto& part : parts) {
            read.insert(read.end(), part.begin(), part.end());
        }
        splitter.feed(read, true, messageAt, Clock::time_point{}, units);
        std::string out;
        for (const auto& unit : std::exchange(units, {})) {
            out += std::string(out.empty() ? "" : " | ") +
                   (unit.kind == Kind::frame ? "frame " : "unframed ") + hex(unit.bytes);
        }
        return out;
    };
    const auto store = testing::bytesOf(
        bundle::keyposeStoreCurrentPoseMessage(model::DeviceModel::turretAlpha2, 1, 2));
    // 1A 03 00 1D C0 (select the radio) begins like a 28-byte message; it is a frame.
    EXPECT_EQ(split({frameOf(linkVersions),
                     bundle::statusRequestMessage(),
                     {0x1A, 0x03, 0x00, 0x1D, 0xC0},
                     store}),
              "frame 1C | unframed 02 E6 00 E8 | frame 1A 03 | unframed " + hex(store));
    EXPECT_FALSE(splitter.deadline().has_value());

    std::array<std::uint8_t, link::kRadioChunkSize> chunk{};
    chunk.fill(0x11);
    const auto frame = frameOf([&](auto& e) { updateChunk(e, chunk); });
    EXPECT_EQ(split({core::Bytes(frame.begin(), frame.begin() + 700)}), "");
    EXPECT_EQ(split({core::Bytes(frame.begin() + 700, frame.end())}), "frame 11 03 " + hex(chunk));

    // Three bytes that announce a longer message and never get it: after the gap they are
    // read as the start of a frame, and spoil it, as noise on a serial line does.
    EXPECT_EQ(split({{0x09, 0x42, 0x42}}), "");
    splitter.expire(Clock::time_point{} + Milliseconds(10), messageAt, units);
    EXPECT_TRUE(splitter.deadline().has_value());
    splitter.expire(Clock::time_point{} + Milliseconds(50), messageAt, units);
    EXPECT_FALSE(splitter.deadline().has_value());
    EXPECT_EQ(split({frameOf(linkVersions), frameOf(identify)}), "frame 19");
    EXPECT_EQ(splitter.framesDiscarded(), 1u);
}

}  // namespace
}  // namespace kinetra::sim
