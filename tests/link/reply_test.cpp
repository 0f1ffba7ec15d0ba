// Reply headers, device reply rules and the padded reply.
#include "link/reply.hpp"

#include <vector>

#include <gtest/gtest.h>

namespace kinetra::link {
namespace {

using core::Bytes;
using model::LinkConnectionType;
using model::LinkType;

Bytes headerBytes(const ReplyHeader& header) {
    return {header.view().begin(), header.view().end()};
}

TEST(ReplyHeader, OnlyScanResultsHasItsOwnRadioHeader) {
    for (int command = 0; command <= 0x0C; ++command) {
        const auto header = radioReplyHeader(RadioCommand{static_cast<std::uint8_t>(command)});
        const Bytes expected{0x01, static_cast<std::uint8_t>(command == 0x07 ? 0x01 : 0x00)};
        EXPECT_EQ(headerBytes(header), expected) << command;
    }
}

TEST(ReplyHeader, MatchesOnlyMessagesThatBeginWithIt) {
    EXPECT_TRUE(matchesHeader(Bytes{0x00, 0x03, 0x09, 0x03}, kLinkVersionsReply));
    EXPECT_TRUE(matchesHeader(Bytes{0x00, 0x03}, kLinkVersionsReply));
    EXPECT_FALSE(matchesHeader(Bytes{0x00}, kLinkVersionsReply));
    EXPECT_FALSE(matchesHeader(Bytes{}, kSelectLinkReply));
    EXPECT_FALSE(matchesHeader(Bytes{0x00, 0x02, 0x00}, kLinkVersionsReply));
    EXPECT_FALSE(matchesHeader(Bytes{0x01, 0x00}, kSelectLinkReply));
    // The acknowledgement text that status messages put on the queue matches no header.
    const std::string ok = R"({"result":"ok"})";
    const Bytes text(ok.begin(), ok.end());
    for (const auto& header : {kSelectLinkReply, kLink2ConnectReply, kLink2ScanResultsReply,
                               kLinkVersionsReply, kRadioReply, kScanResultsReply}) {
        EXPECT_FALSE(matchesHeader(text, header));
    }
}

TEST(DeviceReplyRule, FollowsTheMediumOfTheLink) {
    struct Row {
        LinkType linkType;
        LinkConnectionType connection;
        Bytes header;
        std::size_t strip;
    };
    const std::vector<Row> rows = {
        {LinkType::linkAdapter, LinkConnectionType::wireless, {0x01, 0x02, 0x21}, 2},
        {LinkType::linkAdapter, LinkConnectionType::canbus, {0x02, 0x05, 0x1F, 0x41, 0x21}, 4},
        {LinkType::linkAdapter, LinkConnectionType::rj45, {0x03, 0x21}, 1},
        {LinkType::stopMotionModule, LinkConnectionType::wireless, {0x21}, 0},
        {LinkType::stopMotionModule, LinkConnectionType::none, {0x21}, 0},
    };
    for (const auto& row : rows) {
        const auto rule = deviceReplyRule(row.linkType, row.connection, 0x21, 0x05);
        ASSERT_TRUE(rule.has_value());
        EXPECT_EQ(headerBytes(rule->header), row.header);
        EXPECT_EQ(rule->strip, row.strip);
    }
    EXPECT_FALSE(deviceReplyRule(LinkType::linkAdapter, LinkConnectionType::none, 0x21, 5));
    EXPECT_FALSE(deviceReplyRule(LinkType::linkAdapter, LinkConnectionType{9}, 0x21, 5));
    EXPECT_FALSE(deviceReplyRule(LinkType{3}, LinkConnectionType::wireless, 0x21, 5));
}

TEST(DeviceReplyRule, HandsTheReplyOverFromItsMessageId) {
    const auto can = *deviceReplyRule(LinkType::linkAdapter, LinkConnectionType::canbus, 0x21, 5);
    const auto reply = acceptDeviceReply(Bytes{0x02, 0x05, 0x1F, 0x41, 0x21, 0xAA, 0xBB}, can);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->received(), 3u);
    EXPECT_EQ(reply->padded().size(), 255u);
    EXPECT_EQ((*reply)[0], 0x21);
    EXPECT_EQ((*reply)[2], 0xBB);
    EXPECT_EQ((*reply)[3], 0x00);
    // Another device, another message id, or the right bytes one place late: not this reply.
    EXPECT_FALSE(acceptDeviceReply(Bytes{0x02, 0x06, 0x1F, 0x41, 0x21}, can));
    EXPECT_FALSE(acceptDeviceReply(Bytes{0x02, 0x05, 0x1F, 0x41, 0x22}, can));
    EXPECT_FALSE(acceptDeviceReply(Bytes{0x02, 0x05, 0x1F, 0x41}, can));

    const auto radio =
        *deviceReplyRule(LinkType::linkAdapter, LinkConnectionType::wireless, 0x21, 0);
    EXPECT_EQ(acceptDeviceReply(Bytes{0x01, 0x02, 0x21, 0x07}, radio)->received(), 2u);
    const auto module =
        *deviceReplyRule(LinkType::stopMotionModule, LinkConnectionType::none, 0x12, 0);
    EXPECT_EQ(acceptDeviceReply(Bytes{0x12, 0x07}, module)->received(), 2u);
    EXPECT_FALSE(acceptDeviceReply(Bytes{0x18, 0x12}, module));
}

TEST(Reply, ReadsAsAtLeastTwoHundredFiftyFiveBytes) {
    const Reply shortReply(Bytes{0x00, 0x03, 0x09});
    EXPECT_EQ(shortReply.received(), 3u);
    EXPECT_EQ(shortReply.padded().size(), 255u);
    EXPECT_EQ(shortReply[2], 0x09);
    EXPECT_EQ(shortReply[5], 0x00);
    EXPECT_EQ(shortReply[254], 0x00);
    EXPECT_EQ(shortReply[100000], 0x00);
    EXPECT_EQ(shortReply.message().size(), 3u);

    // A full scan reply is longer than 255 bytes; it is kept whole.
    Bytes scan(3 + 17 * 20, 0x5A);
    const Reply longReply(scan);
    EXPECT_EQ(longReply.received(), scan.size());
    EXPECT_EQ(longReply.padded().size(), scan.size());
    EXPECT_EQ(longReply[scan.size() - 1], 0x5A);
}

}  // namespace
}  // namespace kinetra::link
