// The frame codec against RFC 6455's own example and its limits, and message reassembly:
// fragments, control frames between them, broken sequences. The handshake reply, the frames the
// server sends and the message limit across fragments are checked through HttpSession; here
// only the length forms of server frames, at their boundaries.
#include <gtest/gtest.h>

#include <string>

#include "net/websocket_format.hpp"
#include "net/websocket_receiver.hpp"
#include "test_client.hpp"

namespace kinetra::net {
namespace {

using Format = WebSocketFormat;
using Status = Format::DecodeStatus;
using Kind = WebSocketReceiver::EventKind;
using test::clientFrame;

constexpr std::uint64_t kNoLimit = ~std::uint64_t{0};

Format::DecodeResult decode(std::string_view bytes, std::uint64_t maxPayload = kNoLimit) {
    return Format::decodeFrame(asBytes(bytes), maxPayload);
}

TEST(WebSocketFormat, DecodesTheRfcMaskedHello) {
    const std::string frame = "\x81\x85\x37\xfa\x21\x3d\x7f\x9f\x4d\x51\x58";
    const auto result = decode(frame + "trailing");
    ASSERT_EQ(result.status, Status::frame);
    EXPECT_EQ(result.consumed, frame.size());
    EXPECT_TRUE(result.frame.fin);
    EXPECT_EQ(result.frame.type, Format::FrameType::text);
    EXPECT_EQ(result.frame.payload, "Hello");
}

TEST(WebSocketFormat, DecodesEachLengthFormAndNeedsMoreOnEveryTruncation) {
    // 7-bit, 16-bit and 64-bit length fields, each at its smallest and with a changing mask.
    for (std::size_t size : {std::size_t{0}, std::size_t{125}, std::size_t{126}, std::size_t{65535},
                             std::size_t{65536}}) {
        std::string payload(size, '\0');
        for (std::size_t i = 0; i < size; ++i) {
            payload[i] = static_cast<char>(i * 7);
        }
        const std::string frame = clientFrame(0x82, payload, {0x01, 0x80, 0xFF, 0x5A});
        const auto result = decode(frame);
        ASSERT_EQ(result.status, Status::frame) << size;
        EXPECT_EQ(result.consumed, frame.size());
        EXPECT_EQ(result.frame.type, Format::FrameType::binary);
        EXPECT_EQ(result.frame.payload, payload);

        for (std::size_t cut : {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{3},
                                std::size_t{9}, frame.size() - 1}) {
            if (cut < frame.size()) {
                const auto partial = decode(std::string_view(frame).substr(0, cut));
                EXPECT_EQ(partial.status, Status::needMore) << size << " cut at " << cut;
                EXPECT_EQ(partial.consumed, 0U);
            }
        }
    }
}

TEST(WebSocketFormat, RefusesFramesThatBreakTheProtocol) {
    const std::pair<std::string, const char*> cases[] = {
        {std::string("\x81\x05Hello"), "unmasked client frame"},
        {clientFrame(0xC1, "x"), "reserved bit set"},
        {clientFrame(0x83, "x"), "reserved opcode"},
        {clientFrame(0x09, "x"), "fragmented ping"},
        {clientFrame(0x89, std::string(126, 'p')), "ping over 125 bytes"},
        {std::string("\x82\xFF\x80\x00\x00\x00\x00\x00\x00\x01", 10), "64-bit length with MSB"},
    };
    for (const auto& [bytes, what] : cases) {
        EXPECT_EQ(decode(bytes).status, Status::protocolError) << what;
    }
}

TEST(WebSocketFormat, ReportsTooLargeFromTheHeaderAlone) {
    const std::string frame = clientFrame(0x81, std::string(300, 'a'));
    EXPECT_EQ(decode(std::string_view(frame).substr(0, 4), 299).status, Status::tooLarge);
    EXPECT_EQ(decode(frame, 300).status, Status::frame);
    // Control frames are bounded by 125 bytes, not by the message limit.
    EXPECT_EQ(decode(clientFrame(0x89, std::string(100, 'p')), 10).status, Status::frame);
}

TEST(WebSocketFormat, BuildsServerFramesInEachLengthForm) {
    const std::pair<std::size_t, std::string> headers[] = {
        {125, std::string("\x81\x7D", 2)},
        {126, std::string("\x81\x7E\x00\x7E", 4)},
        {65536, std::string("\x81\x7F\x00\x00\x00\x00\x00\x01\x00\x00", 10)},
    };
    for (const auto& [size, header] : headers) {
        const std::string frame = Format::frame(Format::FrameType::text, std::string(size, 'z'));
        EXPECT_EQ(frame.size(), header.size() + size);
        EXPECT_EQ(frame.substr(0, header.size()), header) << size;
    }
}

TEST(WebSocketReceiver, JoinsFragmentsAcrossReadsAndAroundInterleavedControlFrames) {
    // RFC 6455 5.6: "Hel" + "lo" as a fragmented message (binary: text is the default type),
    // a ping between the fragments; the first read ends inside the ping.
    const std::string first = clientFrame(0x02, "Hel");
    const std::string ping = clientFrame(0x89, "are you there");
    const std::string last = clientFrame(0x80, "lo");
    WebSocketReceiver receiver(8192);

    auto event = receiver.next(asBytes(first + ping.substr(0, 3)));
    EXPECT_EQ(event.kind, Kind::needMore);
    EXPECT_EQ(event.consumed, first.size());  // the fragment is kept inside the receiver

    event = receiver.next(asBytes(ping + last));
    ASSERT_EQ(event.kind, Kind::ping);
    EXPECT_EQ(event.payload, "are you there");
    EXPECT_EQ(event.consumed, ping.size());

    event = receiver.next(asBytes(last));
    ASSERT_EQ(event.kind, Kind::message);
    EXPECT_EQ(event.type, WebSocketFormat::FrameType::binary);
    EXPECT_EQ(event.payload, "Hello");
    EXPECT_EQ(event.consumed, last.size());
}

TEST(WebSocketReceiver, RefusesBrokenSequences) {
    const std::pair<std::string, const char*> cases[] = {
        {clientFrame(0x80, "x"), "continuation without a message"},
        {clientFrame(0x01, "x") + clientFrame(0x81, "y"), "new message inside a fragmented one"},
        {clientFrame(0x88, "\x03"), "close with a one-byte body"},
    };
    for (const auto& [bytes, what] : cases) {
        WebSocketReceiver receiver(8192);
        EXPECT_EQ(receiver.next(asBytes(bytes)).kind, Kind::protocolError) << what;
    }
}

}  // namespace
}  // namespace kinetra::net
