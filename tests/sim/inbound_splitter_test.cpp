// Frames and device messages written without a frame share the line; the splitter tells them
// apart however the bytes are cut by the reads.
#include "sim/inbound_splitter.hpp"

#include <gtest/gtest.h>

#include "sim/device_commands.hpp"
#include "support/hex.hpp"
#include "test_host.hpp"

namespace kinetra::sim {
namespace {

using Kind = InboundUnit::Kind;
using testing::frameOf;
namespace frames = link::frames;

core::Bytes concat(std::initializer_list<core::Bytes> parts) {
    core::Bytes out;
    for (const auto& part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

// The units split off, "frame <payload>" or "unframed <message>", joined by " | ".
std::string describe(const std::vector<InboundUnit>& units) {
    std::string out;
    for (const auto& unit : units) {
        out += std::string(out.empty() ? "" : " | ") +
               (unit.kind == Kind::frame ? "frame " : "unframed ") +
               kinetra::testing::hex(unit.bytes);
    }
    return out;
}

struct Splitting {
    InboundSplitter splitter{Milliseconds(50)};
    std::vector<InboundUnit> units;
    InboundSplitter::MessageAt messageAt = [](core::ByteView bytes) {
        return wholeDeviceMessageAt(bytes, model::DeviceModel::turretAlpha2);
    };

    void feed(const core::Bytes& bytes, bool unframed = true) {
        splitter.feed(bytes, unframed, messageAt, Clock::time_point{}, units);
    }
    void expireAt(Milliseconds elapsed) {
        splitter.expire(Clock::time_point{} + elapsed, messageAt, units);
    }
};

const core::Bytes kStore = testing::bytesOf(
    bundle::keyposeStoreCurrentPoseMessage(model::DeviceModel::turretAlpha2, 1, 2));

TEST(InboundSplitter, SeparatesFramesFromUnframedMessagesInOneReadOrCutAcrossReads) {
    const auto status = bundle::statusRequestMessage();
    Splitting s;
    // 1A 03 00 1D C0 (select the radio) begins like a 28-byte message; it is a frame.
    const core::Bytes selectRadio{0x1A, 0x03, 0x00, 0x1D, 0xC0};
    s.feed(concat({frameOf(frames::linkVersions), status, selectRadio, kStore}));
    EXPECT_EQ(describe(s.units), "frame 1C | unframed 02 E6 00 E8 | frame 1A 03 | unframed " +
                                     kinetra::testing::hex(kStore));
    EXPECT_FALSE(s.splitter.deadline().has_value());

    // A message cut by the read is held until the rest comes.
    s.units.clear();
    s.feed(core::Bytes(kStore.begin(), kStore.begin() + 3));
    EXPECT_TRUE(s.units.empty());
    EXPECT_TRUE(s.splitter.deadline().has_value());
    s.feed(core::Bytes(kStore.begin() + 3, kStore.end()));
    EXPECT_EQ(describe(s.units), "unframed " + kinetra::testing::hex(kStore));
}

// A radio chunk frame begins like a 17-byte device message; only the frame reading holds.
TEST(InboundSplitter, PrefersAGoodFrameAndGivesUpOnBytesThatNeverComplete) {
    std::array<std::uint8_t, link::kRadioChunkSize> chunk{};
    chunk.fill(0x11);
    const auto frame = frameOf([&](auto& e) { frames::updateChunk(e, chunk); });
    Splitting s;
    s.feed(core::Bytes(frame.begin(), frame.begin() + 700));
    s.feed(core::Bytes(frame.begin() + 700, frame.end()));
    ASSERT_EQ(s.units.size(), 1u);
    EXPECT_EQ(s.units[0].kind, Kind::frame);
    EXPECT_EQ(s.units[0].bytes.size(), 1002u);

    // Three bytes that announce a longer message and never get it: after the gap they are
    // read as the start of a frame, and spoil it, as noise on a serial line does.
    s.units.clear();
    s.feed(core::Bytes{0x09, 0x42, 0x42});
    s.expireAt(Milliseconds(10));
    EXPECT_TRUE(s.splitter.deadline().has_value());
    s.expireAt(Milliseconds(50));
    EXPECT_FALSE(s.splitter.deadline().has_value());
    s.feed(concat({frameOf(frames::linkVersions), frameOf(frames::identify)}));
    EXPECT_EQ(s.splitter.framesDiscarded(), 1u);
    EXPECT_EQ(describe(s.units), "frame 19");
}

TEST(InboundSplitter, TakesOnlyFramesWhenMessagesCannotComeUnframed) {
    Splitting s;
    s.feed(concat({bundle::statusRequestMessage(), frameOf(frames::linkVersions)}), false);
    // The stray message spoils the frame it runs into, as it would on a real adapter.
    EXPECT_TRUE(s.units.empty());
    EXPECT_EQ(s.splitter.framesDiscarded(), 1u);
    s.feed(frameOf(frames::linkVersions), false);
    EXPECT_EQ(describe(s.units), "frame 1C");
}

}  // namespace
}  // namespace kinetra::sim
