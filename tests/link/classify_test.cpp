// Routing of inbound payloads, row by row, with the link states that change it, and the device
// reply rules per medium.
#include "link/classify.hpp"
#include "link/reply.hpp"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "link_test_support.hpp"

namespace kinetra::link {
namespace {

using core::Bytes;
using model::LinkType;
using test::bytes;
using test::hex;
using test::status;

// The routing as the protocol notes read it, steps joined by ", ": a push names the payload
// offset it starts at (it must run to the payload's end); an acknowledgement its value.
std::string route(const Bytes& payload, const LinkState& state) {
    static const char* const kKinds[] = {"response", "status", "ack", "paired", "log", "drop"};
    static const char* const kDrops[] = {"none",          "tooShort",      "statusTooShort",
                                         "unknownPacket", "notForAdapter", "unknownSource",
                                         "unknownLink",   "ignored"};
    const auto where = [&](core::ByteView pushed) {
        const auto offset = static_cast<std::size_t>(pushed.data() - payload.data());
        EXPECT_EQ(offset + pushed.size(), payload.size());
        return "@" + std::to_string(offset);
    };
    std::string steps;
    for (const auto& a : classify(payload, state)) {
        const std::string detail =
            a.kind == ActionKind::acknowledge ? std::to_string(a.acknowledge)
            : a.kind == ActionKind::becomePaired
                ? std::string(model::kLinkConnectionTypeTable.nameOf(a.medium))
            : a.kind == ActionKind::log  ? std::string(a.text)
            : a.kind == ActionKind::drop ? kDrops[static_cast<int>(a.reason)]
                                         : where(a.bytes);
        steps += (steps.empty() ? "" : ", ") + (kKinds[static_cast<int>(a.kind)] + (" " + detail));
    }
    return steps;
}

void expectRoutes(const LinkState& state, const std::vector<std::pair<Bytes, const char*>>& rows) {
    for (const auto& [payload, steps] : rows) {
        EXPECT_EQ(route(payload, state), steps) << hex(payload);
    }
}

TEST(Classify, RoutesEachSourceAndDropsWhatItCannotRead) {
    const auto unknownType = "log Unknown packet type., drop unknownPacket";
    expectRoutes(
        {.statusKnown = true},
        {
            {bytes("00 03 09 03 09 01"), "response @0"},
            {bytes("00 04"), unknownType},
            {bytes("01 00 01"), "response @0"},
            {bytes("01 01 00"), "response @0"},
            {status("01 02", 7), "status @2, ack 7, paired wireless"},
            {bytes("01 02 21 05"), "response @0"},
            {bytes("01 03 18"), unknownType},
            {status("02 05 1E 41", 7), "log Message is not to link adapter., drop notForAdapter"},
            {status("02 05 1F 41", 7), "ack 7, paired canbus, status @4"},
            {bytes("02 05 1F 41 21 00"), "response @0"},
            {status("03", 7), "ack 7, paired rj45, status @1"},
            {status("03", 7, 90), "ack 7, paired rj45, status @1"},
            {bytes("03 21"), "response @0"},
            {bytes("04 00"), "log Unknown message source type., drop unknownSource"},
            // Too short for the bytes the source is read at: nothing read past the end.
            {{}, "drop tooShort"},
            {bytes("00"), "drop tooShort"},
            {bytes("01"), "drop tooShort"},
            {bytes("01 02"), "drop tooShort"},
            {bytes("02 05"), "drop tooShort"},
            {bytes("02 05 1F 41"), "drop tooShort"},
            {bytes("03"), "drop tooShort"},
            {status("01 02", 7, 78), "drop statusTooShort"},
            {status("03", 7, 1), "drop statusTooShort"},
        });
    expectRoutes({.linkType = LinkType{2}},
                 {{bytes("00 00"), "log Unknown link module type., drop unknownLink"}});
}

// The module's own messages: 0x18 a status, 0x12 a reply, anything else dropped without a log.
// It pairs again whatever pairingBlocked says.
TEST(Classify, RoutesTheStopMotionModulesOwnMessages) {
    expectRoutes({.linkType = LinkType::stopMotionModule, .pairingBlocked = true},
                 {{status("", 3), "ack 3, paired none, status @0"},
                  {bytes("12 04 01"), "response @0"},
                  {bytes("00 00"), "drop ignored"},
                  {bytes("03 18"), "drop ignored"},
                  {{}, "drop tooShort"},
                  {status("", 7, 78), "drop statusTooShort"}});
    expectRoutes({.linkType = LinkType::stopMotionModule, .lastAcknowledge = 3, .paired = true},
                 {{status("", 3), "status @0"}});
}

TEST(ReplyHeader, MatchesOnlyMessagesThatBeginWithIt) {
    for (int command = 0; command <= 0x0C; ++command) {
        const auto header = radioReplyHeader(RadioCommand{static_cast<std::uint8_t>(command)});
        EXPECT_EQ(hex(header.view()), command == 0x07 ? "01 01" : "01 00") << command;
    }
    EXPECT_TRUE(matchesHeader(bytes("00 03 09 03"), kLinkVersionsReply));
    EXPECT_FALSE(matchesHeader(bytes("00"), kLinkVersionsReply));
    EXPECT_FALSE(matchesHeader(bytes("00 02 03"), kLinkVersionsReply));
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

}  // namespace
}  // namespace kinetra::link
