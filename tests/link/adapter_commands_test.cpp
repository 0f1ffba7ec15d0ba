// Every command frame and the wrapping of device messages, including refusals.
#include "link/adapter_commands.hpp"

#include <functional>
#include <vector>

#include <gtest/gtest.h>

namespace kinetra::link {
namespace {

using core::Bytes;
using model::LinkConnectionType;
using model::LinkType;

// The payload of the one frame the encoder holds, or an empty vector when it holds none.
Bytes payloadOf(const FrameEncoder& encoder) {
    if (!encoder.finished()) {
        return {};
    }
    FrameDecoder decoder;
    Bytes payload;
    int frames = 0;
    decoder.feed(encoder.encoded(), [&](core::ByteView bytes) {
        payload.assign(bytes.begin(), bytes.end());
        ++frames;
    });
    EXPECT_EQ(frames, 1);
    return payload;
}

const Mac kMacA{0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F};
const Mac kMacB{0xC0, 0xDB, 0x00, 0x01, 0x02, 0x03};

TEST(AdapterCommands, EveryBuilderFramesItsCommand) {
    const Bytes message{0x02, 0xE6, 0x00, 0xE8};
    std::array<std::uint8_t, kRadioChunkSize> chunk{};
    for (std::size_t i = 0; i < chunk.size(); ++i) {
        chunk[i] = static_cast<std::uint8_t>(i);
    }
    Bytes chunkPayload{0x11, 0x03};
    chunkPayload.insert(chunkPayload.end(), chunk.begin(), chunk.end());

    struct Row {
        const char* what;
        std::function<void(FrameEncoder&)> build;
        Bytes payload;
    };
    const auto must = [](bool framed) { EXPECT_TRUE(framed); };
    const std::vector<Row> rows = {
        {"link2Connect", frames::link2Connect, {0x15}},
        {"link2PairStatus", frames::link2PairStatus, {0x16}},
        {"link2ScanResults", frames::link2ScanResults, {0x17}},
        {"identify", frames::identify, {0x19}},
        {"linkVersions", frames::linkVersions, {0x1C}},
        {"selectLink none", [](auto& e) { frames::selectLink(e, SelectLink::none); }, {0x1A, 0}},
        {"selectLink rj45", [](auto& e) { frames::selectLink(e, SelectLink::rj45); }, {0x1A, 1}},
        {"selectLink canbus",
         [](auto& e) { frames::selectLink(e, SelectLink::canbus); },
         {0x1A, 2}},
        {"selectLink wireless",
         [](auto& e) { frames::selectLink(e, SelectLink::wireless); },
         {0x1A, 3}},
        {"forwardRj45",
         [&](auto& e) { must(frames::forwardRj45(e, message)); },
         {0x12, 0x02, 0xE6, 0x00, 0xE8}},
        {"forwardCanbus",
         [&](auto& e) { must(frames::forwardCanbus(e, message)); },
         {0x18, 0x02, 0xE6, 0x00, 0xE8}},
        {"forwardCanbusUnacknowledged",
         [&](auto& e) { must(frames::forwardCanbusUnacknowledged(e, message)); },
         {0x1B, 0x02, 0xE6, 0x00, 0xE8}},
        {"pairStatus", frames::pairStatus, {0x11, 0x00}},
        {"updateBegin", frames::updateBegin, {0x11, 0x01}},
        {"updateEnd", frames::updateEnd, {0x11, 0x02}},
        {"updateChunk", [&](auto& e) { frames::updateChunk(e, chunk); }, chunkPayload},
        {"radioReset", frames::radioReset, {0x11, 0x04}},
        {"scanStart", frames::scanStart, {0x11, 0x05}},
        {"scanStop", frames::scanStop, {0x11, 0x06}},
        {"scanResults", frames::scanResults, {0x11, 0x07}},
        {"attachToBundle",
         [](auto& e) { frames::attachToBundle(e, kMacA); },
         {0x11, 0x08, 0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F}},
        {"forwardWireless",
         [&](auto& e) { must(frames::forwardWireless(e, message)); },
         {0x11, 0x0A, 0x04, 0x02, 0xE6, 0x00, 0xE8}},
        {"radioDisconnect", frames::radioDisconnect, {0x11, 0x0C}},
    };
    FrameEncoder encoder;
    for (const auto& row : rows) {
        ASSERT_TRUE(encodeFrame(encoder, Bytes{0x55, 0x66}));  // leftovers must not survive
        row.build(encoder);
        EXPECT_EQ(payloadOf(encoder), row.payload) << row.what;
    }
}

TEST(AdapterCommands, LargestChunkFrameStaysWithinItsBound) {
    std::array<std::uint8_t, kRadioChunkSize> chunk{};
    chunk.fill(0xC0);
    FrameEncoder encoder;
    frames::updateChunk(encoder, chunk);
    ASSERT_TRUE(encoder.finished());
    EXPECT_LE(encoder.size(), 2009);
    EXPECT_EQ(payloadOf(encoder).size(), 1002u);
}

TEST(AdapterCommands, CreateBundleCarriesCountMasterAndAddresses) {
    FrameEncoder encoder;
    CreateBundleRequest request;
    request.deviceCount = 2;
    request.forcedMasterDevice = 201;  // railUnitGen1
    request.macs = {kMacA, kMacB, Mac{0xEE}, Mac{0xEE}};
    ASSERT_TRUE(frames::createBundle(encoder, request));
    EXPECT_EQ(payloadOf(encoder), (Bytes{0x11, 0x09, 0x02, 0xC9, 0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F,
                                         0xC0, 0xDB, 0x00, 0x01, 0x02, 0x03}));

    request.deviceCount = 0;
    request.forcedMasterDevice = 0x1FF;  // only its low byte travels
    ASSERT_TRUE(frames::createBundle(encoder, request));
    EXPECT_EQ(payloadOf(encoder), (Bytes{0x11, 0x09, 0x00, 0xFF}));

    request.deviceCount = 4;
    ASSERT_TRUE(frames::createBundle(encoder, request));
    EXPECT_EQ(payloadOf(encoder).size(), 4u + 4 * 6);
}

TEST(AdapterCommands, CreateBundleRefusesCountsOutsideZeroToFour) {
    FrameEncoder encoder;
    for (const std::int32_t count : {-1, 5, 255, 256, -2147483647 - 1}) {
        CreateBundleRequest request;
        request.deviceCount = count;
        ASSERT_TRUE(encodeFrame(encoder, Bytes{0x1C}));
        EXPECT_FALSE(frames::createBundle(encoder, request)) << count;
        EXPECT_FALSE(encoder.finished()) << count;
        EXPECT_EQ(encoder.size(), 0) << count;
    }
}

TEST(AdapterCommands, WirelessLengthTravelsInOneByte) {
    FrameEncoder encoder;
    const Bytes longest(255, 0x01);
    ASSERT_TRUE(frames::forwardWireless(encoder, longest));
    const auto payload = payloadOf(encoder);
    ASSERT_EQ(payload.size(), 258u);
    EXPECT_EQ(payload[2], 0xFF);
    // 256 bytes would need a length of 0x100; a length byte of 0x00 would misframe it.
    EXPECT_FALSE(frames::forwardWireless(encoder, Bytes(256, 0x01)));
    EXPECT_FALSE(encoder.finished());
}

TEST(WrapForConnection, WrapsOneMessagePerConnection) {
    const Bytes message{0x06, 0x21, 0x01, 0x02, 0x03, 0x04, 0x00, 0x2F};
    struct Row {
        LinkConnectionType connection;
        Delivery delivery;
        WrapStatus status;
        Bytes head;  // payload bytes before the message
    };
    const std::vector<Row> rows = {
        {LinkConnectionType::wireless,
         Delivery::acknowledged,
         WrapStatus::framed,
         {0x11, 0x0A, 0x08}},
        {LinkConnectionType::wireless,
         Delivery::unacknowledged,
         WrapStatus::framed,
         {0x11, 0x0A, 0x08}},
        {LinkConnectionType::canbus, Delivery::acknowledged, WrapStatus::framed, {0x18}},
        {LinkConnectionType::canbus, Delivery::unacknowledged, WrapStatus::framed, {0x1B}},
        {LinkConnectionType::rj45, Delivery::acknowledged, WrapStatus::framed, {0x12}},
        {LinkConnectionType::rj45, Delivery::unacknowledged, WrapStatus::framed, {0x12}},
    };
    FrameEncoder encoder;
    for (const auto& row : rows) {
        const auto wrapped = wrapForConnection(encoder, message, row.connection, row.delivery);
        ASSERT_EQ(wrapped.status, row.status);
        EXPECT_EQ(wrapped.bytes.data(), encoder.encoded().data());
        EXPECT_EQ(wrapped.bytes.size(), encoder.encoded().size());
        Bytes expected = row.head;
        expected.insert(expected.end(), message.begin(), message.end());
        EXPECT_EQ(payloadOf(encoder), expected);
    }

    const auto plain = wrapForConnection(encoder, message, LinkConnectionType::none);
    EXPECT_EQ(plain.status, WrapStatus::unframed);
    EXPECT_EQ(plain.bytes.data(), message.data());
    EXPECT_EQ(plain.bytes.size(), message.size());

    const auto unknown = wrapForConnection(encoder, message, LinkConnectionType{4});
    EXPECT_EQ(unknown.status, WrapStatus::nothing);
    EXPECT_TRUE(unknown.bytes.empty());
}

TEST(WrapForConnection, RefusesWhatCouldNotFitCountingEveryByteAsEscaped) {
    FrameEncoder encoder;
    // [0x18, message] of 1021 bytes is the most that fits when every byte is escaped.
    for (const std::uint8_t filler : {std::uint8_t{0x01}, std::uint8_t{0xC0}}) {
        const auto fits =
            wrapForConnection(encoder, Bytes(1020, filler), LinkConnectionType::canbus);
        EXPECT_EQ(fits.status, WrapStatus::framed);
        EXPECT_LE(fits.bytes.size(), FrameEncoder::kCapacity);
    }
    // One byte more is refused even though these plain bytes would encode to about 1025.
    for (const auto connection : {LinkConnectionType::canbus, LinkConnectionType::rj45}) {
        const auto refused = wrapForConnection(encoder, Bytes(1021, 0x01), connection);
        EXPECT_EQ(refused.status, WrapStatus::refused);
        EXPECT_TRUE(refused.bytes.empty());
        EXPECT_FALSE(encoder.finished());
    }
    EXPECT_EQ(wrapForConnection(encoder, Bytes(256, 0x01), LinkConnectionType::wireless).status,
              WrapStatus::refused);
}

TEST(WrapForLink, StopMotionModuleTakesMessagesUnframed) {
    const Bytes message{0x02, 0xE6, 0x00, 0xE8};
    FrameEncoder encoder;
    for (const auto connection : {LinkConnectionType::wireless, LinkConnectionType::canbus,
                                  LinkConnectionType::rj45, LinkConnectionType::none}) {
        const auto wrapped = wrapForLink(encoder, message, LinkType::stopMotionModule, connection);
        EXPECT_EQ(wrapped.status, WrapStatus::unframed);
        EXPECT_EQ(wrapped.bytes.data(), message.data());
    }
    EXPECT_EQ(wrapForLink(encoder, message, LinkType::linkAdapter, LinkConnectionType::rj45).status,
              WrapStatus::framed);
    EXPECT_EQ(wrapForLink(encoder, message, LinkType{2}, LinkConnectionType::rj45).status,
              WrapStatus::nothing);
}

}  // namespace
}  // namespace kinetra::link
