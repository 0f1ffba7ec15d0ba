// Reply headers, device reply rules per medium, and the padded reply a sender keeps.
#include "link/reply.hpp"

#include <vector>

#include <gtest/gtest.h>

#include "link/classify.hpp"
#include "link_test_support.hpp"

namespace kinetra::link {
namespace {

using core::Bytes;
using model::LinkType;
using test::bytes;
using test::hex;

TEST(ReplyHeader, MatchesOnlyMessagesThatBeginWithIt) {
    for (int command = 0; command <= 0x0C; ++command) {
        const auto header = radioReplyHeader(RadioCommand{static_cast<std::uint8_t>(command)});
        EXPECT_EQ(hex(header.view()), command == 0x07 ? "01 01" : "01 00") << command;
    }
    EXPECT_TRUE(matchesHeader(bytes("00 03 09 03"), kLinkVersionsReply));
    EXPECT_TRUE(matchesHeader(bytes("00 03"), kLinkVersionsReply));
    EXPECT_FALSE(matchesHeader(bytes("00"), kLinkVersionsReply));
    EXPECT_FALSE(matchesHeader(bytes("00 02 03"), kLinkVersionsReply));
    // The acknowledgement a status message queues is nobody's reply.
    for (const auto& header : {kSelectLinkReply, kLink2ConnectReply, kLink2ScanResultsReply,
                               kLinkVersionsReply, kRadioReply, kScanResultsReply}) {
        EXPECT_FALSE(matchesHeader(kAcknowledgedReply, header));
    }
}

// What a sender awaiting message id 0x21 from device address 5 takes from `message`: the reply
// from its message id on, "no reply" when it does not match, "no rule" where no reply can come.
std::string accepted(LinkType linkType, model::LinkConnectionType connection,
                     std::string_view message) {
    const auto rule = deviceReplyRule(linkType, connection, 0x21, 0x05);
    if (!rule) {
        return "no rule";
    }
    const auto reply = acceptDeviceReply(bytes(message), *rule);
    return reply ? hex(reply->message()) : "no reply";
}

// Wireless 01 02 m, CAN bus 02 a 1F 41 m from device a, RJ45 03 m, the module's own m.
TEST(DeviceReplyRule, FollowsTheMediumAndHandsTheReplyOverFromItsMessageId) {
    using enum model::LinkConnectionType;
    constexpr auto adapter = LinkType::linkAdapter;
    constexpr auto module = LinkType::stopMotionModule;
    EXPECT_EQ(accepted(adapter, wireless, "01 02 21 AA BB"), "21 AA BB");
    EXPECT_EQ(accepted(adapter, wireless, "01 02 22 AA BB"), "no reply");
    EXPECT_EQ(accepted(adapter, wireless, "01 02"), "no reply");
    EXPECT_EQ(accepted(adapter, canbus, "02 05 1F 41 21 AA BB"), "21 AA BB");
    EXPECT_EQ(accepted(adapter, canbus, "02 06 1F 41 21 AA BB"), "no reply");  // another device
    EXPECT_EQ(accepted(adapter, canbus, "02 05 1F 41"), "no reply");
    EXPECT_EQ(accepted(adapter, rj45, "03 21 AA BB"), "21 AA BB");
    EXPECT_EQ(accepted(adapter, rj45, "03 22 AA BB"), "no reply");
    EXPECT_EQ(accepted(module, wireless, "21 AA BB"), "21 AA BB");
    EXPECT_EQ(accepted(module, none, "18 21"), "no reply");
    EXPECT_EQ(accepted(adapter, none, "21"), "no rule");
    EXPECT_EQ(accepted(adapter, model::LinkConnectionType{9}, "21"), "no rule");
    EXPECT_EQ(accepted(LinkType{3}, wireless, "01 02 21"), "no rule");
}

// A reply reads as at least 255 bytes, zeros past its end; a longer one (a full scan) is whole.
TEST(Reply, ReadsAsAtLeastTwoHundredFiftyFiveBytes) {
    const Reply shortReply(bytes("00 03 09"));
    EXPECT_EQ(shortReply.received(), 3u);
    EXPECT_EQ(shortReply.padded().size(), 255u);
    EXPECT_EQ(shortReply[254], 0x00);
    EXPECT_EQ(shortReply[100000], 0x00);
    const Bytes scan(3 + 17 * 20, 0x5A);
    const Reply longReply(scan);
    EXPECT_EQ(longReply.padded().size(), scan.size());
    EXPECT_EQ(longReply[scan.size() - 1], 0x5A);
}

}  // namespace
}  // namespace kinetra::link
