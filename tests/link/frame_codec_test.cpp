// Frame encoding and decoding: the wire vectors, the encoder's fixed buffer and the decoder's
// bound.
#include "link/frame_codec.hpp"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "link_test_support.hpp"

namespace kinetra::link {
namespace {

using core::Bytes;
using test::bytes;
using test::hex;
using Payloads = std::vector<std::string>;

// The payloads of `wire`, decoded by `shared` when given (it keeps its state between reads).
Payloads decodeAll(const Bytes& wire, FrameDecoder* shared = nullptr) {
    FrameDecoder own;
    Payloads payloads;
    (shared ? *shared : own).feed(wire, [&](core::ByteView p) { payloads.push_back(hex(p)); });
    return payloads;
}

// A frame of any size, as a peer may send it: the encoder stops at 2048 bytes.
Bytes framedByPeer(Bytes payload) {
    core::appendU16BE(payload, frameChecksum(payload));
    Bytes wire;
    for (const auto byte : payload) {
        if (byte == kEndByte || byte == kEscapeByte) {
            wire.push_back(kEscapeByte);
        }
        wire.push_back(byte == kEndByte      ? kEscapedEnd
                       : byte == kEscapeByte ? kEscapedEscape
                                             : byte);
    }
    wire.push_back(kEndByte);
    return wire;
}

TEST(FrameCodec, EncodesAndDecodesTheWireVectors) {
    // The examples of the protocol notes, then escape and end bytes as low sum bytes.
    const std::pair<const char*, const char*> vectors[] = {{"1C", "1C 00 1C C0"},
                                                           {"1A 03", "1A 03 00 1D C0"},
                                                           {"18 C0", "18 DB DC 00 D8 C0"},
                                                           {"DB", "DB DD 00 DB DD C0"},
                                                           {"60 60", "60 60 00 DB DC C0"}};
    FrameEncoder encoder;
    for (const auto& [payload, wire] : vectors) {
        ASSERT_TRUE(encodeFrame(encoder, bytes(payload)));
        EXPECT_EQ(hex(encoder.encoded()), wire);
        EXPECT_EQ(decodeAll(bytes(wire)), Payloads{payload});
    }
    // 0xC1 bytes of 0xFF sum to 0xC03F: the high sum byte is escaped as well.
    const Bytes payload(0xC1, 0xFF);
    ASSERT_TRUE(encodeFrame(encoder, payload));
    EXPECT_EQ(hex(encoder.encoded().last(4)), "DB DC 3F C0");
    EXPECT_EQ(test::framePayload(encoder.encoded()), hex(payload));
    EXPECT_EQ(frameChecksum(Bytes(300, 0xFF)), 76500 % 65536);
}

TEST(FrameEncoder, NeverWritesPastItsBufferAndKeepsAFinishedFrameWhole) {
    FrameEncoder encoder;
    // 2045 plain bytes, a plain sum (0x07FD) and the end byte: exactly 2048.
    ASSERT_TRUE(encodeFrame(encoder, Bytes(2045, 0x01)));
    EXPECT_EQ(encoder.size(), 2048);
    // One byte more and the tail no longer fits: none of it is written.
    EXPECT_FALSE(encodeFrame(encoder, Bytes(2046, 0x01)));
    EXPECT_TRUE(encoder.spoiled());
    EXPECT_EQ(encoder.size(), 2046);
    // An escaped byte needs two places: with one left it is refused, and so is all that follows.
    encoder.reset();
    ASSERT_TRUE(encoder.append(Bytes(2047, 0x01)));
    EXPECT_FALSE(encoder.append(0xC0));
    EXPECT_FALSE(encoder.append(0x01));
    EXPECT_FALSE(encoder.finish());
    EXPECT_EQ(encoder.size(), 2047);

    encoder.reset();
    EXPECT_FALSE(encoder.finish());  // a frame needs a payload byte
    ASSERT_TRUE(encodeFrame(encoder, Bytes{0x1C}));
    EXPECT_FALSE(encoder.append(0x01));
    EXPECT_FALSE(encoder.finish());
    EXPECT_EQ(hex(encoder.encoded()), "1C 00 1C C0");
}

// 4096 collected bytes still make a frame, escaped bytes counting once. Beyond that the bytes
// are discarded with everything up to the next end byte, even a frame hidden in them.
TEST(FrameDecoder, KeepsFourThousandNinetySixBytesDiscardsMoreAndCountsWhatItDiscards) {
    for (const std::uint8_t filler : {0x01, 0xC0}) {
        const Bytes largest(4094, filler);  // and the two sum bytes
        EXPECT_EQ(decodeAll(framedByPeer(largest)), Payloads{hex(largest)});
    }
    FrameDecoder decoder;
    const auto overflow = framedByPeer(Bytes(4095, 0x01));
    EXPECT_TRUE(decodeAll(Bytes(overflow.begin(), overflow.end() - 1), &decoder).empty());
    EXPECT_LE(decoder.collected(), FrameDecoder::kBound);
    EXPECT_TRUE(decodeAll(bytes("1A 03 00 1D C0"), &decoder).empty());
    EXPECT_EQ(decodeAll(bytes("1C 00 1C C0"), &decoder), Payloads{"1C"});
    // An empty frame is none; an end byte that closes a frame with a bad sum discards it.
    EXPECT_EQ(decodeAll(bytes("C0 1C 00 1C C0"), &decoder), Payloads{"1C"});
    decodeAll(bytes("1A 03 00 1E"), &decoder);
    EXPECT_EQ(decoder.push(kEndByte), DecodeResult::discarded);

    // What the link's health counts as discarded: each dropped run once, with every byte it took
    // from the line (escapes and its end byte included); a lone end byte is framing.
    struct Case {
        const char* what;
        Bytes wire;
        std::size_t frames, discarded, discardedBytes;
    };
    const Case cases[] = {
        {"a good frame", bytes("1C 00 1C C0"), 1, 0, 0},
        {"end bytes between frames", bytes("C0 1C 00 1C C0 C0 C0"), 1, 0, 0},
        {"a bad sum", bytes("1A 03 00 1E C0"), 0, 1, 5},
        {"too short, escaped", bytes("DB DC C0 1C 00 1C C0"), 1, 1, 3},
        {"noise glued to a frame", bytes("FF FE 1C 00 1C C0 1C 00 1C C0"), 1, 1, 6},
        {"past the bound",
         [] {
             Bytes run(FrameDecoder::kBound + 9, 0x01);
             run.push_back(kEndByte);
             return run;
         }(),
         0, 1, FrameDecoder::kBound + 10},
    };
    for (const auto& [what, wire, frames, discarded, discardedBytes] : cases) {
        FrameDecoder fresh;
        EXPECT_EQ(decodeAll(wire, &fresh).size(), frames) << what;
        EXPECT_EQ(fresh.discardedFrames(), discarded) << what;
        EXPECT_EQ(fresh.discardedBytes(), discardedBytes) << what;
    }
}

}  // namespace
}  // namespace kinetra::link
