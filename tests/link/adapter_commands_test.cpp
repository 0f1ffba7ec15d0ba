// Both ends of the adapter commands: every command frame the host builds with the limits of
// createBundle and of wrapped messages, the wrapping of device messages per link and connection;
// and the adapter's side for the emulated adapter, host commands read back with their argument
// sizes checked.
#include "link/adapter_commands.hpp"
#include "link/adapter_side.hpp"

#include <functional>
#include <vector>

#include <gtest/gtest.h>

#include "link_test_support.hpp"

namespace kinetra::link {
namespace {

using core::Bytes;
using model::LinkType;
using test::bytes;
using test::framePayload;
using test::hex;
using test::payloadOf;

// The forwarding frames are built through wrapForLink, tested below.
TEST(AdapterCommands, EveryBuilderFramesItsCommand) {
    std::array<std::uint8_t, kRadioChunkSize> chunk{};
    for (std::size_t i = 0; i < chunk.size(); ++i) {
        chunk[i] = static_cast<std::uint8_t>(i);  // holds C0 and DB, escaped in the frame
    }
    const auto select = [](SelectLink link) {
        return [link](FrameEncoder& e) { frames::selectLink(e, link); };
    };
    const auto attach = [](FrameEncoder& e) {
        frames::attachToBundle(e, {10, 11, 12, 13, 14, 15});
    };
    // The count, the master's low byte and exactly `count` addresses.
    CreateBundleRequest bundle{2, 0x1C9};
    bundle.macs = {Mac{0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F}, Mac{0xC0, 0xDB, 0, 1, 2, 3}};
    const std::vector<std::pair<std::function<void(FrameEncoder&)>, std::string>> rows = {
        {frames::link2Connect, "15"},
        {frames::link2PairStatus, "16"},
        {frames::link2ScanResults, "17"},
        {frames::identify, "19"},
        {frames::linkVersions, "1C"},
        {select(SelectLink::none), "1A 00"},
        {select(SelectLink::rj45), "1A 01"},
        {select(SelectLink::canbus), "1A 02"},
        {select(SelectLink::wireless), "1A 03"},
        {frames::pairStatus, "11 00"},
        {frames::updateBegin, "11 01"},
        {frames::updateEnd, "11 02"},
        {[&](FrameEncoder& e) { frames::updateChunk(e, chunk); }, "11 03 " + hex(chunk)},
        {frames::radioReset, "11 04"},
        {frames::scanStart, "11 05"},
        {frames::scanStop, "11 06"},
        {frames::scanResults, "11 07"},
        {attach, "11 08 0A 0B 0C 0D 0E 0F"},
        {[&](FrameEncoder& e) { EXPECT_TRUE(frames::createBundle(e, bundle)); },
         "11 09 02 C9 0A 1B 2C 3D 4E 5F C0 DB 00 01 02 03"},
        {frames::radioDisconnect, "11 0C"},
    };
    FrameEncoder encoder;
    for (const auto& [build, payload] : rows) {
        ASSERT_TRUE(encodeFrame(encoder, bytes("55 66")));  // leftovers must not survive
        build(encoder);
        EXPECT_EQ(payloadOf(encoder), payload);
    }
    // A count outside 0 to 4 is refused and leaves no frame behind.
    for (const std::int32_t count : {-1, 5}) {
        ASSERT_TRUE(encodeFrame(encoder, bytes("1C")));
        EXPECT_FALSE(frames::createBundle(encoder, {count, 0})) << count;
        EXPECT_EQ(encoder.size(), 0) << count;
    }
}

// What a link writes for one device message: "frame" and its payload, "as it is", or nothing.
std::string written(LinkType linkType, model::LinkConnectionType connection, const Bytes& message,
                    Delivery delivery = Delivery::acknowledged) {
    FrameEncoder encoder;
    const auto wrapped = wrapForLink(encoder, message, linkType, connection, delivery);
    if (wrapped.status == WrapStatus::framed) {
        return "frame " + framePayload(wrapped.bytes);
    }
    if (wrapped.status == WrapStatus::unframed) {
        return wrapped.bytes.data() == message.data() ? "as it is" : "a copy";
    }
    const bool empty = wrapped.bytes.empty() && !encoder.finished();
    return (wrapped.status == WrapStatus::refused ? "refused" : "nothing") +
           std::string(empty ? "" : " but bytes");
}

// A link adapter frames a message for its connection (only the CAN bus has an unacknowledged
// form); a stop-motion module takes it as it is. A message whose frame could not fit with every
// byte escaped is refused, so whether it goes out never depends on its content.
TEST(WrapForLink, WritesEachMessageAsItsLinkAndConnectionTakeIt) {
    using enum model::LinkConnectionType;
    constexpr auto adapter = LinkType::linkAdapter;
    constexpr auto unacknowledged = Delivery::unacknowledged;
    const Bytes message = bytes("06 21 01 02");
    EXPECT_EQ(written(adapter, wireless, message), "frame 11 0A 04 06 21 01 02");
    EXPECT_EQ(written(adapter, wireless, message, unacknowledged), "frame 11 0A 04 06 21 01 02");
    EXPECT_EQ(written(adapter, canbus, message), "frame 18 06 21 01 02");
    EXPECT_EQ(written(adapter, canbus, message, unacknowledged), "frame 1B 06 21 01 02");
    EXPECT_EQ(written(adapter, rj45, message), "frame 12 06 21 01 02");
    EXPECT_EQ(written(adapter, rj45, message, unacknowledged), "frame 12 06 21 01 02");
    EXPECT_EQ(written(adapter, none, message), "as it is");
    EXPECT_EQ(written(adapter, model::LinkConnectionType{4}, message), "nothing");
    EXPECT_EQ(written(LinkType::stopMotionModule, canbus, message), "as it is");
    EXPECT_EQ(written(LinkType{2}, rj45, message), "nothing");

    EXPECT_EQ(written(adapter, canbus, Bytes(1020, 0xC0)).substr(0, 14), "frame 18 C0 C0");
    EXPECT_EQ(written(adapter, canbus, Bytes(1021, 0x01)), "refused");
    EXPECT_EQ(written(adapter, rj45, Bytes(1021, 0x01)), "refused");
    // The wireless length travels in one byte: 256 would be sent as 0.
    EXPECT_EQ(written(adapter, wireless, Bytes(255, 0x01)).substr(0, 14), "frame 11 0A FF");
    EXPECT_EQ(written(adapter, wireless, Bytes(256, 0x01)), "refused");
}

// The command in `payload` as "command[ radio command]: argument", or "refused".
std::string read(std::string_view payload) {
    const Bytes data = bytes(payload);  // the command points into it
    const auto command = readHostCommand(data);
    if (!command) {
        return "refused";
    }
    const auto radio =
        command->radio ? fmt::format(" {:02X}", fmt::underlying(*command->radio)) : "";
    return fmt::format("{:02X}{}: {}", fmt::underlying(command->command), radio,
                       hex(command->argument));
}

// The payloads the host's builders frame (see the adapter command tests) read back, and
// payloads whose arguments do not have the size their command takes refused.
TEST(HostCommand, ReadsBackEachCommandWithTheArgumentSizeItTakes) {
    EXPECT_EQ(read("1C"), "1C: ");
    EXPECT_EQ(read("1A 02"), "1A: 02");
    EXPECT_EQ(read("18 02 E6 00 E8"), "18: 02 E6 00 E8");
    EXPECT_EQ(read("11 0A 04 02 E6 00 E8"), "11 0A: 02 E6 00 E8");
    EXPECT_EQ(read("11 07"), "11 07: ");
    EXPECT_EQ(read("11 08 01 02 03 04 05 06"), "11 08: 01 02 03 04 05 06");
    EXPECT_EQ(read("11 09 01 03 01 02 03 04 05 06"), "11 09: 01 03 01 02 03 04 05 06");
    Bytes chunk = bytes("11 03");
    chunk.resize(2 + kRadioChunkSize, 0xDB);
    EXPECT_EQ(readHostCommand(chunk)->argument.size(), kRadioChunkSize);
    chunk.pop_back();
    EXPECT_FALSE(readHostCommand(chunk));
    Bytes fiveDevices = bytes("11 09 05 00");
    fiveDevices.resize(4 + 5 * kMacSize);
    EXPECT_FALSE(readHostCommand(fiveDevices));
    for (const char* bad :
         {"", "13", "1C 00", "1A", "1A 04", "11", "11 0B", "11 07 00", "11 08 01 02 03 04 05",
          "11 09 05 00", "11 09 01 00 01 02 03", "11 0A", "11 0A 03 02 E6"}) {
        EXPECT_EQ(read(bad), "refused") << bad;
    }
}

}  // namespace
}  // namespace kinetra::link
