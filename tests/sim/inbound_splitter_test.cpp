// Frames and device messages written without a frame share the line; the splitter tells them
// apart however the bytes are cut by the reads.
#include "sim/inbound_splitter.hpp"

#include <gtest/gtest.h>

#include "bundle/device_messages.hpp"
#include "link/adapter_commands.hpp"
#include "sim/device_commands.hpp"

namespace kinetra::sim {
namespace {

using Kind = InboundUnit::Kind;
using M = model::DeviceModel;

const InboundSplitter::MessageAt kHeadMessages = [](core::ByteView bytes) {
    return wholeDeviceMessageAt(bytes, M::turretAlpha2);
};

core::Bytes frameOf(void (*build)(link::FrameEncoder&)) {
    link::FrameEncoder encoder;
    build(encoder);
    const auto bytes = encoder.encoded();
    return {bytes.begin(), bytes.end()};
}

core::Bytes concat(std::initializer_list<core::Bytes> parts) {
    core::Bytes out;
    for (const auto& part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

struct Splitting {
    InboundSplitter splitter{Milliseconds(50)};
    std::vector<InboundUnit> units;
    Clock::time_point now{};

    void feed(const core::Bytes& bytes, bool unframed = true) {
        splitter.feed(bytes, unframed, kHeadMessages, now, units);
    }
};

TEST(InboundSplitter, SeparatesFramesFromUnframedMessagesInOneRead) {
    const auto status = bundle::statusRequestMessage();
    const auto store =
        std::get<core::Bytes>(bundle::keyposeStoreCurrentPoseMessage(M::turretAlpha2, 1, 2));
    Splitting s;
    s.feed(concat(
        {frameOf(link::frames::linkVersions), status, frameOf(link::frames::identify), store}));
    ASSERT_EQ(s.units.size(), 4u);
    EXPECT_EQ(s.units[0].kind, Kind::frame);
    EXPECT_EQ(s.units[0].bytes, core::Bytes{0x1C});
    EXPECT_EQ(s.units[1].kind, Kind::unframed);
    EXPECT_EQ(s.units[1].bytes, status);
    EXPECT_EQ(s.units[2].bytes, core::Bytes{0x19});
    EXPECT_EQ(s.units[3].kind, Kind::unframed);
    EXPECT_EQ(s.units[3].bytes, store);
    EXPECT_FALSE(s.splitter.deadline().has_value());
}

TEST(InboundSplitter, WaitsForTheRestOfAMessageCutByTheRead) {
    const auto store =
        std::get<core::Bytes>(bundle::keyposeStoreCurrentPoseMessage(M::turretAlpha2, 1, 2));
    Splitting s;
    s.feed(core::Bytes(store.begin(), store.begin() + 3));
    EXPECT_TRUE(s.units.empty());
    EXPECT_TRUE(s.splitter.deadline().has_value());
    s.feed(core::Bytes(store.begin() + 3, store.end()));
    ASSERT_EQ(s.units.size(), 1u);
    EXPECT_EQ(s.units[0].bytes, store);
}

// A radio chunk frame begins like a 17-byte device message; only the frame reading holds.
TEST(InboundSplitter, PrefersAGoodFrameAndGivesUpOnBytesThatNeverComplete) {
    std::array<std::uint8_t, link::kRadioChunkSize> chunk{};
    chunk.fill(0x11);
    link::FrameEncoder encoder;
    link::frames::updateChunk(encoder, chunk);
    const core::Bytes frame(encoder.encoded().begin(), encoder.encoded().end());
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
    ASSERT_TRUE(s.splitter.deadline().has_value());
    s.splitter.expire(s.now + Milliseconds(10), kHeadMessages, s.units);
    EXPECT_TRUE(s.splitter.deadline().has_value());
    s.splitter.expire(s.now + Milliseconds(50), kHeadMessages, s.units);
    EXPECT_FALSE(s.splitter.deadline().has_value());
    s.feed(concat({frameOf(link::frames::linkVersions), frameOf(link::frames::identify)}));
    EXPECT_EQ(s.splitter.framesDiscarded(), 1u);
    ASSERT_EQ(s.units.size(), 1u);
    EXPECT_EQ(s.units[0].bytes, core::Bytes{0x19});
}

TEST(InboundSplitter, TakesOnlyFramesWhenMessagesCannotComeUnframed) {
    Splitting s;
    s.feed(concat({bundle::statusRequestMessage(), frameOf(link::frames::linkVersions)}), false);
    // The stray message spoils the frame it runs into, as it would on a real adapter.
    EXPECT_TRUE(s.units.empty());
    EXPECT_EQ(s.splitter.framesDiscarded(), 1u);
    s.feed(frameOf(link::frames::linkVersions), false);
    ASSERT_EQ(s.units.size(), 1u);
}

}  // namespace
}  // namespace kinetra::sim
