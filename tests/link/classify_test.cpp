// Routing of inbound payloads, row by row, with the link states that change it.
#include "link/classify.hpp"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "link/protocol.hpp"

namespace kinetra::link {
namespace {

using core::Bytes;
using model::LinkConnectionType;
using model::LinkType;
using Steps = std::vector<std::string>;

// A status message of 79 bytes whose acknowledge byte is `acknowledge`.
Bytes statusMessage(std::uint8_t acknowledge, std::size_t size = kStatusMessageSize) {
    Bytes message(size, 0x00);
    message[0] = 0x18;
    if (size > kAcknowledgeOffset) {
        message[kAcknowledgeOffset] = acknowledge;
    }
    return message;
}

Bytes join(Bytes head, const Bytes& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

std::string dropName(DropReason reason) {
    static const char* const kNames[] = {"none",          "tooShort",      "statusTooShort",
                                         "unknownPacket", "notForAdapter", "unknownSource",
                                         "unknownLink",   "ignored"};
    return kNames[static_cast<int>(reason)];
}

// Renders the routing so rows read as the protocol does: pushes name the offset they start at
// in the payload (and must run to its end), or "ok" for the acknowledgement text.
Steps describe(const Routing& routing, const Bytes& payload) {
    Steps steps;
    const auto where = [&](core::ByteView bytes) {
        if (bytes.data() == kAcknowledgedReply.data()) {
            return std::string("ok");
        }
        const auto offset = bytes.data() - payload.data();
        EXPECT_GE(offset, 0);
        EXPECT_EQ(static_cast<std::size_t>(offset) + bytes.size(), payload.size());
        return "@" + std::to_string(offset);
    };
    for (const auto& action : routing) {
        switch (action.kind) {
            case ActionKind::pushResponse:
                steps.push_back("response " + where(action.bytes));
                break;
            case ActionKind::pushStatus:
                steps.push_back("status " + where(action.bytes));
                break;
            case ActionKind::acknowledge:
                steps.push_back("ack " + std::to_string(action.acknowledge));
                break;
            case ActionKind::becomePaired:
                steps.push_back("paired " +
                                std::string(model::kLinkConnectionTypeTable.nameOf(action.medium)));
                break;
            case ActionKind::log:
                steps.push_back("log " + std::string(action.text));
                break;
            case ActionKind::drop:
                steps.push_back("drop " + dropName(action.reason));
                break;
        }
    }
    return steps;
}

Steps route(const Bytes& payload, const LinkState& state) {
    return describe(classify(payload, state), payload);
}

struct Row {
    const char* what;
    Bytes payload;
    Steps steps;
};

void expectRows(const std::vector<Row>& rows, const LinkState& state) {
    for (const auto& row : rows) {
        EXPECT_EQ(route(row.payload, state), row.steps) << row.what;
    }
}

const LinkState kAdapter{.linkType = LinkType::linkAdapter, .statusKnown = true};

TEST(Classify, RoutesEveryAdapterSource) {
    const auto status = statusMessage(7);
    expectRows(
        {
            {"adapter reply type 0", {0x00, 0x00}, {"response @0"}},
            {"adapter reply type 3", {0x00, 0x03, 0x09, 0x03, 0x09, 0x01}, {"response @0"}},
            {"adapter type 4", {0x00, 0x04}, {"log Unknown packet type.", "drop unknownPacket"}},
            {"radio command reply", {0x01, 0x00, 0x01}, {"response @0"}},
            {"radio scan results", {0x01, 0x01, 0x00}, {"response @0"}},
            {"radio device status",
             join({0x01, 0x02}, status),
             {"status @2", "response ok", "ack 7", "paired wireless"}},
            {"radio device reply", {0x01, 0x02, 0x21, 0x05}, {"response @0"}},
            {"radio type 3",
             {0x01, 0x03, 0x18},
             {"log Unknown packet type.", "drop unknownPacket"}},
            {"CAN for another receiver",
             join({0x02, 0x05, 0x1E, 0x41}, status),
             {"log Message is not to link adapter.", "drop notForAdapter"}},
            {"CAN status",
             join({0x02, 0x05, 0x1F, 0x41}, status),
             {"response ok", "ack 7", "paired canbus", "status @4"}},
            {"CAN reply", {0x02, 0x05, 0x1F, 0x41, 0x21, 0x00}, {"response @0"}},
            {"RJ45 status",
             join({0x03}, status),
             {"response ok", "ack 7", "paired rj45", "status @1"}},
            {"RJ45 reply", {0x03, 0x21}, {"response @0"}},
            {"source 4",
             {0x04, 0x00, 0x00},
             {"log Unknown message source type.", "drop unknownSource"}},
            {"source FF", {0xFF}, {"log Unknown message source type.", "drop unknownSource"}},
        },
        kAdapter);
}

TEST(Classify, DropsPayloadsTooShortForTheBytesTheirSourceIsReadAt) {
    expectRows(
        {
            {"empty", {}, {"drop tooShort"}},
            {"adapter without type", {0x00}, {"drop tooShort"}},
            {"radio without type", {0x01}, {"drop tooShort"}},
            {"radio type 2 without message", {0x01, 0x02}, {"drop tooShort"}},
            {"CAN without receiver", {0x02, 0x05}, {"drop tooShort"}},
            {"CAN for the adapter without message", {0x02, 0x05, 0x1F, 0x41}, {"drop tooShort"}},
            {"CAN for another without kind",
             {0x02, 0x05, 0x1E},
             {"log Message is not to link adapter.", "drop notForAdapter"}},
            {"RJ45 without message", {0x03}, {"drop tooShort"}},
            {"radio status of 78 bytes",
             join({0x01, 0x02}, statusMessage(7, 78)),
             {"drop statusTooShort"}},
            {"CAN status of 78 bytes",
             join({0x02, 0x05, 0x1F, 0x41}, statusMessage(7, 78)),
             {"drop statusTooShort"}},
            {"RJ45 status of one byte", {0x03, 0x18}, {"drop statusTooShort"}},
            {"longer status is forwarded whole",
             join({0x03}, statusMessage(7, 90)),
             {"response ok", "ack 7", "paired rj45", "status @1"}},
        },
        kAdapter);
    const LinkState module{.linkType = LinkType::stopMotionModule};
    EXPECT_EQ(route({}, module), Steps{"drop tooShort"});
    EXPECT_EQ(route(statusMessage(7, 78), module), Steps{"drop statusTooShort"});
}

TEST(Classify, AnswersOnlyAChangedAcknowledgeByte) {
    auto state = kAdapter;
    state.paired = true;
    const auto payload = join({0x03}, statusMessage(0));
    EXPECT_EQ(route(payload, state), (Steps{"status @1"}));  // 0 as the link started
    state.lastAcknowledge = 9;
    EXPECT_EQ(route(payload, state), (Steps{"response ok", "ack 0", "status @1"}));
    EXPECT_EQ(std::string(kAcknowledgedText), R"({"result":"ok"})");
    EXPECT_EQ(kAcknowledgedReply.size(), kAcknowledgedText.size());
}

TEST(Classify, PairsOnlyWhenTheMediumMay) {
    const auto status = statusMessage(0);
    const auto radio = join({0x01, 0x02}, status);
    const auto can = join({0x02, 0x05, 0x1F, 0x41}, status);
    const auto rj45 = join({0x03}, status);

    auto blocked = kAdapter;
    blocked.pairingBlocked = true;
    EXPECT_EQ(route(radio, blocked), Steps{"status @2"});
    EXPECT_EQ(route(can, blocked), Steps{"status @4"});
    EXPECT_EQ(route(rj45, blocked), Steps{"status @1"});

    auto paired = kAdapter;
    paired.paired = true;
    EXPECT_EQ(route(can, paired), Steps{"status @4"});

    // An RJ45 status before the versions are known is forwarded but does not pair.
    auto unknown = kAdapter;
    unknown.statusKnown = false;
    EXPECT_EQ(route(rj45, unknown), Steps{"status @1"});
    EXPECT_EQ(route(radio, unknown), (Steps{"status @2", "paired wireless"}));
    EXPECT_EQ(route(can, unknown), (Steps{"paired canbus", "status @4"}));
}

TEST(Classify, RoutesTheStopMotionModulesOwnMessages) {
    LinkState module{.linkType = LinkType::stopMotionModule, .pairingBlocked = true};
    const auto status = statusMessage(3);
    // pairingBlocked does not hold the module back, nor does an unknown link status.
    EXPECT_EQ(route(status, module), (Steps{"response ok", "ack 3", "paired none", "status @0"}));
    module.paired = true;
    module.lastAcknowledge = 3;
    EXPECT_EQ(route(status, module), Steps{"status @0"});
    EXPECT_EQ(route({0x12, 0x04, 0x01}, module), Steps{"response @0"});
    EXPECT_EQ(route({0x00, 0x00}, module), Steps{"drop ignored"});  // no log
    EXPECT_EQ(route({0x03, 0x18}, module), Steps{"drop ignored"});
}

TEST(Classify, LogsAnUnknownLinkType) {
    const LinkState other{.linkType = LinkType{2}};
    EXPECT_EQ(route({0x00, 0x00}, other),
              (Steps{"log Unknown link module type.", "drop unknownLink"}));
}

}  // namespace
}  // namespace kinetra::link
