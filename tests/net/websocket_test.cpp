// The frame codec against RFC 6455's own examples, its length forms and what breaks the protocol,
// in frames or in their sequence. Reassembly around control frames, the handshake reply and the
// message limit across fragments are checked through HttpSession.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>

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

// Broken frames as the codec sees them, broken sequences of good frames, close codes no peer
// may send and text that is not UTF-8; beside them what must still pass.
TEST(WebSocketReceiver, RefusesFramesSequencesCloseCodesAndTextThatBreakTheProtocol) {
    using Kind = WebSocketReceiver::EventKind;
    const auto close = [](int code, std::string_view reason = {}) {
        return clientFrame(
            0x88, std::string{static_cast<char>(code >> 8), static_cast<char>(code & 0xFF)} +
                      std::string(reason));
    };
    const std::tuple<std::string, Kind, const char*> cases[] = {
        {std::string("\x81\x05Hello"), Kind::protocolError, "unmasked client frame"},
        {clientFrame(0xC1, "x"), Kind::protocolError, "reserved bit set"},
        {clientFrame(0x83, "x"), Kind::protocolError, "reserved opcode"},
        {clientFrame(0x09, "x"), Kind::protocolError, "fragmented ping"},
        {clientFrame(0x89, std::string(126, 'p')), Kind::protocolError, "ping over 125 bytes"},
        {std::string("\x82\xFF\x80\x00\x00\x00\x00\x00\x00\x01", 10), Kind::protocolError,
         "64-bit length with MSB"},
        {clientFrame(0x80, "x"), Kind::protocolError, "continuation without a message"},
        {clientFrame(0x01, "x") + clientFrame(0x81, "y"), Kind::protocolError,
         "new message inside a fragmented one"},
        {clientFrame(0x88, "\x03"), Kind::protocolError, "close with a one-byte body"},
        {clientFrame(0x88, ""), Kind::close, "close without a code"},
        {close(1000, "\xC3\x28"), Kind::invalidText, "close reason not UTF-8"},
        {clientFrame(0x81, "caf\xC3"), Kind::invalidText, "text cut inside a character"},
        {clientFrame(0x01, "\xED") + clientFrame(0x80, "\xA0\x80"), Kind::invalidText,
         "fragments that join to a surrogate"},
        {clientFrame(0x01, "caf\xC3") + clientFrame(0x80, "\xA9"), Kind::message,
         "a character split across fragments"},
        {clientFrame(0x82, "\xFF\xFE"), Kind::message, "binary is not text"},
    };
    for (const auto& [bytes, kind, what] : cases) {
        EXPECT_EQ(WebSocketReceiver(8192).next(asBytes(bytes)).kind, kind) << what;
    }
    // Codes that only report a state (1005, 1006, 1015), reserved and unassigned ones; then the
    // edges of the ranges a peer may send.
    for (const int code : {999, 1004, 1005, 1006, 1012, 1015, 2999, 5000}) {
        EXPECT_EQ(WebSocketReceiver(8192).next(asBytes(close(code))).kind, Kind::protocolError)
            << code;
    }
    for (const int code : {1000, 1003, 1007, 1011, 3000, 4999}) {
        EXPECT_EQ(WebSocketReceiver(8192).next(asBytes(close(code, "bye"))).kind, Kind::close)
            << code;
    }
}

}  // namespace
}  // namespace kinetra::net
