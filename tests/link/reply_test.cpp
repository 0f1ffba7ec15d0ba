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

// Wireless 01 02 m, CAN bus 02 a 1F 41 m from device a, RJ45 03 m, the module's own m: each is
// handed over from its message id m on. No rule where no device reply can come.
TEST(DeviceReplyRule, FollowsTheMediumAndHandsTheReplyOverFromItsMessageId) {
    using enum model::LinkConnectionType;
    const struct {
        LinkType linkType;
        model::LinkConnectionType connection;
        const char* reply;
    } rows[] = {
        {LinkType::linkAdapter, wireless, "01 02 21 AA BB"},
        {LinkType::linkAdapter, canbus, "02 05 1F 41 21 AA BB"},
        {LinkType::linkAdapter, rj45, "03 21 AA BB"},
        {LinkType::stopMotionModule, wireless, "21 AA BB"},
        {LinkType::stopMotionModule, none, "21 AA BB"},
    };
    for (const auto& row : rows) {
        const auto rule = deviceReplyRule(row.linkType, row.connection, 0x21, 0x05);
        ASSERT_TRUE(rule.has_value()) << row.reply;
        const auto reply = acceptDeviceReply(bytes(row.reply), *rule);
        ASSERT_TRUE(reply.has_value()) << row.reply;
        EXPECT_EQ(hex(reply->message()), "21 AA BB");
        // Another message id, or the reply cut before its id: not this reply.
        auto other = bytes(row.reply);
        other[rule->strip] = 0x22;
        EXPECT_FALSE(acceptDeviceReply(other, *rule)) << row.reply;
        EXPECT_FALSE(acceptDeviceReply(core::ByteView(other).first(rule->strip), *rule));
    }
    const auto can = deviceReplyRule(LinkType::linkAdapter, canbus, 0x21, 0x05);
    EXPECT_FALSE(acceptDeviceReply(bytes("02 06 1F 41 21"), *can));  // another device
    EXPECT_FALSE(deviceReplyRule(LinkType::linkAdapter, none, 0x21, 5));
    EXPECT_FALSE(deviceReplyRule(LinkType::linkAdapter, model::LinkConnectionType{9}, 0x21, 5));
    EXPECT_FALSE(deviceReplyRule(LinkType{3}, wireless, 0x21, 5));
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
