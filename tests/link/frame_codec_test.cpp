// Frame encoding and decoding against the wire vectors and malformed streams.
#include "link/frame_codec.hpp"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace kinetra::link {
namespace {

using core::Bytes;

std::vector<Bytes> decodeAll(FrameDecoder& decoder, const Bytes& wire) {
    std::vector<Bytes> payloads;
    decoder.feed(wire, [&](core::ByteView payload) {
        payloads.emplace_back(payload.begin(), payload.end());
    });
    return payloads;
}

std::vector<Bytes> decodeAll(const Bytes& wire) {
    FrameDecoder decoder;
    return decodeAll(decoder, wire);
}

Bytes encoded(const Bytes& payload) {
    FrameEncoder encoder;
    EXPECT_TRUE(encodeFrame(encoder, payload));
    return {encoder.encoded().begin(), encoder.encoded().end()};
}

// Frames of any size, for what arrives from a peer: the encoder stops at 2048 bytes.
Bytes framedByPeer(const Bytes& payload) {
    Bytes wire;
    const auto put = [&](std::uint8_t byte) {
        if (byte == 0xC0 || byte == 0xDB) {
            wire.push_back(0xDB);
            wire.push_back(byte == 0xC0 ? 0xDC : 0xDD);
        } else {
            wire.push_back(byte);
        }
    };
    std::uint16_t sum = 0;
    for (const auto byte : payload) {
        put(byte);
        sum = static_cast<std::uint16_t>(sum + byte);
    }
    put(static_cast<std::uint8_t>(sum >> 8));
    put(static_cast<std::uint8_t>(sum & 0xFF));
    wire.push_back(0xC0);
    return wire;
}

struct WireVector {
    const char* what;
    Bytes payload;
    Bytes wire;
};

const std::vector<WireVector> kWireVectors = {
    {"linkVersions", {0x1C}, {0x1C, 0x00, 0x1C, 0xC0}},
    {"selectLink wireless", {0x1A, 0x03}, {0x1A, 0x03, 0x00, 0x1D, 0xC0}},
    {"end byte in payload", {0x18, 0xC0}, {0x18, 0xDB, 0xDC, 0x00, 0xD8, 0xC0}},
    {"escape byte in payload and sum", {0xDB}, {0xDB, 0xDD, 0x00, 0xDB, 0xDD, 0xC0}},
    {"end byte as low sum byte", {0x60, 0x60}, {0x60, 0x60, 0x00, 0xDB, 0xDC, 0xC0}},
};

TEST(FrameCodec, EncodesAndDecodesTheWireVectors) {
    for (const auto& vector : kWireVectors) {
        EXPECT_EQ(encoded(vector.payload), vector.wire) << vector.what;
        EXPECT_EQ(decodeAll(vector.wire), std::vector<Bytes>{vector.payload}) << vector.what;
    }
}

TEST(FrameCodec, SumWrapsAtSixteenBitsAndEscapesItsHighByte) {
    // 0xC0 bytes of 0xFF sum to 0xBF40; 0xC1 of them to 0xC03F: high byte is the end byte.
    EXPECT_EQ(frameChecksum(Bytes(0xC0, 0xFF)), 0xBF40);
    const Bytes payload(0xC1, 0xFF);
    EXPECT_EQ(frameChecksum(payload), 0xC03F);
    const auto wire = encoded(payload);
    ASSERT_EQ(wire.size(), payload.size() + 4);
    EXPECT_EQ((Bytes{wire.end() - 4, wire.end()}), (Bytes{0xDB, 0xDC, 0x3F, 0xC0}));
    EXPECT_EQ(decodeAll(wire), std::vector<Bytes>{payload});
    EXPECT_EQ(frameChecksum(Bytes(300, 0xFF)), 76500 % 65536);
}

TEST(FrameEncoder, FillsItsBufferExactlyAndRefusesOneByteMore) {
    FrameEncoder encoder;
    encoder.reset();
    // 2045 plain bytes, a plain sum (0x07FD) and the end byte: exactly 2048.
    ASSERT_TRUE(encoder.append(Bytes(2045, 0x01)));
    ASSERT_TRUE(encoder.finish());
    EXPECT_EQ(encoder.size(), 2048);

    encoder.reset();
    ASSERT_TRUE(encoder.append(Bytes(2046, 0x01)));
    EXPECT_FALSE(encoder.finish());
    EXPECT_TRUE(encoder.spoiled());
    EXPECT_EQ(encoder.size(), 2046);  // nothing of the tail was written
    EXPECT_FALSE(encoder.append(0x01));

    // An escaped byte needs two places: with one left it is refused, and so is everything after.
    encoder.reset();
    ASSERT_TRUE(encoder.append(Bytes(2047, 0x01)));
    EXPECT_FALSE(encoder.append(0xC0));
    EXPECT_EQ(encoder.size(), 2047);
    EXPECT_FALSE(encoder.append(0x01));
    EXPECT_FALSE(encoder.finish());
    EXPECT_EQ(encoder.size(), 2047);
}

TEST(FrameEncoder, RefusesEmptyFramesAndBytesAfterFinish) {
    FrameEncoder encoder;
    EXPECT_FALSE(encoder.finish());
    EXPECT_TRUE(encoder.spoiled());

    ASSERT_TRUE(encodeFrame(encoder, Bytes{0x1C}));
    EXPECT_FALSE(encoder.append(0x01));
    EXPECT_FALSE(encoder.finish());
    EXPECT_TRUE(encoder.finished());
    EXPECT_EQ((Bytes{encoder.encoded().begin(), encoder.encoded().end()}),
              (Bytes{0x1C, 0x00, 0x1C, 0xC0}));

    encoder.reset();
    EXPECT_EQ(encoder.size(), 0);
    EXPECT_FALSE(encoder.spoiled());
    EXPECT_FALSE(encoder.finished());
}

struct Stream {
    const char* what;
    Bytes wire;
    std::vector<Bytes> payloads;
};

TEST(FrameDecoder, HandlesMalformedInput) {
    const std::vector<Stream> streams = {
        {"truncated: no end byte yet", {0x1A, 0x03, 0x00, 0x1D}, {}},
        {"bad checksum, then a good frame",
         {0x1A, 0x03, 0x00, 0x1E, 0xC0, 0x1C, 0x00, 0x1C, 0xC0},
         {{0x1C}}},
        {"noise closed by an end byte before a frame",
         {0x55, 0xAA, 0x07, 0xC0, 0x1C, 0x00, 0x1C, 0xC0},
         {{0x1C}}},
        {"noise glued to a frame spoils its sum", {0x55, 0x1C, 0x00, 0x1C, 0xC0}, {}},
        {"escaped sum bytes", {0xDB, 0xDC, 0x00, 0xDB, 0xDC, 0xC0}, {{0xC0}}},
        {"escape then another byte stores that byte", {0xDB, 0x41, 0x00, 0x41, 0xC0}, {{0x41}}},
        {"escape then end byte stores C0, frame goes on",
         {0x18, 0xDB, 0xC0, 0x00, 0xD8, 0xC0},
         {{0x18, 0xC0}}},
        {"two end bytes", {0x1C, 0x00, 0x1C, 0xC0, 0xC0, 0x1C, 0x00, 0x1C, 0xC0}, {{0x1C}, {0x1C}}},
        {"leading end bytes", {0xC0, 0xC0, 0x1C, 0x00, 0x1C, 0xC0}, {{0x1C}}},
        {"one byte at the end byte", {0x00, 0xC0}, {}},
        {"two bytes at the end byte", {0x00, 0x00, 0xC0}, {}},
        {"three bytes make a frame", {0x00, 0x00, 0x00, 0xC0}, {{0x00}}},
    };
    for (const auto& stream : streams) {
        EXPECT_EQ(decodeAll(stream.wire), stream.payloads) << stream.what;
    }
}

TEST(FrameDecoder, ReportsEachOutcome) {
    FrameDecoder decoder;
    EXPECT_EQ(decoder.push(0xC0), DecodeResult::needMore);  // nothing collected
    for (const auto byte : {0x1A, 0x03, 0x00}) {
        EXPECT_EQ(decoder.push(static_cast<std::uint8_t>(byte)), DecodeResult::needMore);
    }
    EXPECT_EQ(decoder.push(0x1E), DecodeResult::needMore);
    EXPECT_EQ(decoder.push(0xC0), DecodeResult::discarded);
    EXPECT_EQ(decoder.collected(), 0u);
    for (const auto byte : {0x1A, 0x03, 0x00, 0x1D}) {
        decoder.push(static_cast<std::uint8_t>(byte));
    }
    ASSERT_EQ(decoder.push(0xC0), DecodeResult::frame);
    EXPECT_EQ((Bytes{decoder.payload().begin(), decoder.payload().end()}), (Bytes{0x1A, 0x03}));
    // The next byte starts a new frame.
    EXPECT_EQ(decoder.push(0x1C), DecodeResult::needMore);
    EXPECT_TRUE(decoder.payload().empty());
    EXPECT_EQ(decoder.collected(), 1u);
}

TEST(FrameDecoder, GivesTheSamePayloadsWhateverTheReadSizes) {
    Bytes wire;
    std::vector<Bytes> expected;
    for (const Bytes& payload : {Bytes{0x1C}, Bytes{0x18, 0xC0, 0xDB}, Bytes(70, 0xC0),
                                 Bytes{0x00, 0x03, 0x09, 0x03, 0x09, 0x01}}) {
        const auto frame = encoded(payload);
        wire.insert(wire.end(), frame.begin(), frame.end());
        expected.push_back(payload);
    }
    for (std::size_t split = 1; split < wire.size(); ++split) {
        FrameDecoder decoder;
        auto payloads = decodeAll(decoder, Bytes{wire.begin(), wire.begin() + split});
        const auto rest = decodeAll(decoder, Bytes{wire.begin() + split, wire.end()});
        payloads.insert(payloads.end(), rest.begin(), rest.end());
        EXPECT_EQ(payloads, expected) << "split at " << split;
    }
}

TEST(FrameDecoder, KeepsFourThousandNinetySixBytesAndDiscardsMore) {
    // 4094 payload bytes and the sum: exactly the bound.
    const Bytes largest(4094, 0x01);
    EXPECT_EQ(decodeAll(framedByPeer(largest)), std::vector<Bytes>{largest});

    FrameDecoder decoder;
    int discarded = 0;
    std::vector<Bytes> payloads;
    Bytes wire = framedByPeer(Bytes(4095, 0x01));
    // What follows the overflow up to the next end byte is skipped, even a frame inside it.
    const Bytes hidden{0x1A, 0x03, 0x00, 0x1D};
    wire.insert(wire.end() - 1, hidden.begin(), hidden.end());
    const auto good = encoded({0x1C});
    wire.insert(wire.end(), good.begin(), good.end());
    for (const auto byte : wire) {
        const auto result = decoder.push(byte);
        discarded += result == DecodeResult::discarded ? 1 : 0;
        if (result == DecodeResult::frame) {
            payloads.emplace_back(decoder.payload().begin(), decoder.payload().end());
        }
        EXPECT_LE(decoder.collected(), FrameDecoder::kBound);
    }
    EXPECT_EQ(discarded, 1);
    EXPECT_EQ(payloads, std::vector<Bytes>{Bytes{0x1C}});
}

TEST(FrameDecoder, CountsEscapedBytesOnceTowardsTheBound) {
    // 4094 end bytes travel as 8188 wire bytes but collect as 4094: still one frame.
    const Bytes payload(4094, 0xC0);
    const auto wire = framedByPeer(payload);
    EXPECT_GT(wire.size(), 8000u);
    EXPECT_EQ(decodeAll(wire), std::vector<Bytes>{payload});
}

}  // namespace
}  // namespace kinetra::link
