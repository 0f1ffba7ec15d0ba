// Message reassembly: fragments, control frames between them, and broken sequences. (The
// message limit across fragments is checked through HttpSession.)
#include <gtest/gtest.h>

#include <string>

#include "net/websocket_receiver.hpp"
#include "test_client.hpp"

namespace kinetra::net {
namespace {

using Kind = WebSocketReceiver::EventKind;
using test::clientFrame;

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
