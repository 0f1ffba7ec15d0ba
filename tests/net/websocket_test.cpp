// The frame codec against RFC 6455's own examples, its length forms and what breaks the protocol,
// in frames or in their sequence. Reassembly around control frames, the handshake reply and the
// message limit across fragments are checked through HttpSession.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "net/websocket_format.hpp"
#include "net/websocket_receiver.hpp"
#include "test_client.hpp"

namespace kinetra::net {
namespace {

using Format = WebSocketFormat;
using Status = Format::DecodeStatus;
using test::clientFrame;

Format::DecodeResult decode(std::string_view bytes) {
    return Format::decodeFrame(asBytes(bytes), ~std::uint64_t{0});
}

TEST(WebSocketFormat, FramesAndDecodesTheRfcHelloAndEachLengthFormNeedingMoreWhenCut) {
    const std::string hello = "\x81\x85\x37\xfa\x21\x3d\x7f\x9f\x4d\x51\x58";
    const auto result = decode(hello + "trailing");
    ASSERT_EQ(result.status, Status::frame);
    EXPECT_EQ(result.consumed, hello.size());
    EXPECT_TRUE(result.frame.fin);
    EXPECT_EQ(result.frame.type, Format::FrameType::text);
    EXPECT_EQ(result.frame.payload, "Hello");
    // The server's frames: unmasked, the length in the 16- or 64-bit field beyond 125 bytes.
    EXPECT_EQ(Format::frame(Format::FrameType::text, "Hello"), "\x81\x05Hello");
    EXPECT_EQ(Format::frame(Format::FrameType::text, std::string(126, 'z')).substr(0, 4),
              std::string("\x81\x7E\x00\x7E", 4));
    EXPECT_EQ(Format::frame(Format::FrameType::text, std::string(65536, 'z')).substr(0, 10),
              std::string("\x81\x7F\x00\x00\x00\x00\x00\x01\x00\x00", 10));
    // Client frames with 7-, 16- and 64-bit lengths, each at its smallest, cut in each field.
    for (const std::size_t size : {0, 125, 126, 65535, 65536}) {
        const std::string payload(size, 'p');
        const std::string frame = clientFrame(0x82, payload, {0x01, 0x80, 0xFF, 0x5A});
        const auto decoded = decode(frame);
        ASSERT_EQ(decoded.status, Status::frame) << size;
        EXPECT_EQ(decoded.consumed, frame.size());
        EXPECT_EQ(decoded.frame.type, Format::FrameType::binary);
        EXPECT_EQ(decoded.frame.payload, payload);
        for (const std::size_t cut : {0UL, 1UL, 2UL, 3UL, 9UL, frame.size() - 1}) {
            const auto partial = std::string_view(frame).substr(0, std::min(cut, frame.size() - 1));
            EXPECT_EQ(decode(partial).status, Status::needMore) << size << " cut at " << cut;
        }
    }
}

// Broken frames as the codec sees them, and broken sequences of good frames.
TEST(WebSocketReceiver, RefusesFramesAndSequencesThatBreakTheProtocol) {
    const std::pair<std::string, const char*> cases[] = {
        {std::string("\x81\x05Hello"), "unmasked client frame"},
        {clientFrame(0xC1, "x"), "reserved bit set"},
        {clientFrame(0x83, "x"), "reserved opcode"},
        {clientFrame(0x09, "x"), "fragmented ping"},
        {clientFrame(0x89, std::string(126, 'p')), "ping over 125 bytes"},
        {std::string("\x82\xFF\x80\x00\x00\x00\x00\x00\x00\x01", 10), "64-bit length with MSB"},
        {clientFrame(0x80, "x"), "continuation without a message"},
        {clientFrame(0x01, "x") + clientFrame(0x81, "y"), "new message inside a fragmented one"},
        {clientFrame(0x88, "\x03"), "close with a one-byte body"},
    };
    for (const auto& [bytes, what] : cases) {
        WebSocketReceiver receiver(8192);
        EXPECT_EQ(receiver.next(asBytes(bytes)).kind, WebSocketReceiver::EventKind::protocolError)
            << what;
    }
}

}  // namespace
}  // namespace kinetra::net
