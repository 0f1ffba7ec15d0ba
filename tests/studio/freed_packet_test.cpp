// The FreeD D1 encoder against packets computed by hand, the camera a status puts in them, and
// which links get packets, under which camera ids, and when they stop.
#include <gtest/gtest.h>

#include "studio/freed_packet.hpp"
#include "studio/link_table.hpp"
#include "support/hex.hpp"

namespace kinetra::studio {
namespace {

using namespace std::chrono_literals;

struct PacketCase {
    const char* what;
    CameraPose pose;
    const char* bytes;
};

const PacketCase kPackets[] = {
    {"worked example: pan -90, tilt 12.5, slide 500 mm, focus 1000",
     {1, -90, 12.5, 0, 500, 0, 0, 0, 1000},
     "D1 01 D3 00 00 06 40 00 00 00 00 00 7D 00 00 00 00 00 00 00 00 00 00 00 03 E8 00 00 ED"},
    {"small negative angles and a negative fractional position",
     {7, -0.5, -180, 0, -250.25, 0, 0, 0, 0},
     "D1 07 FF C0 00 A6 00 00 00 00 00 FF C1 70 00 00 00 00 00 00 00 00 00 00 00 00 00 00 D3"},
    {"24-bit limits: angles at the edge, positions and counts saturate",
     {255, 255.99997, -256, 0, 200000, -200000, 0, 0x1000000, -5},
     "D1 FF 7F FF FF 80 00 00 00 00 00 7F FF FF 80 00 00 00 00 00 FF FF FF 00 00 00 00 00 79"},
};

TEST(FreedPacket, EncodesHandComputedPacketsByteForByte) {
    for (const auto& c : kPackets) {
        const FreedPacket packet = encodeFreedD1(c.pose);
        EXPECT_EQ(testing::hex(packet), c.bytes) << c.what;
        unsigned sum = 0;
        for (const auto byte : packet) {
            sum += byte;
        }
        EXPECT_EQ(sum % 256, 0x40U) << c.what << ": the whole packet sums to 0x40";
    }
}

TEST(FreedPacket, AnglesBeyondTheFieldTurnByWholeTurnsAndNonNumbersAreZero) {
    const auto pan = [](double degrees) {
        const auto packet = encodeFreedD1({1, degrees});
        return std::array{packet[2], packet[3], packet[4]};
    };
    EXPECT_EQ(pan(300), pan(-60));
    EXPECT_EQ(pan(-300), pan(60));
    EXPECT_EQ(pan(720), pan(0));
    EXPECT_EQ(pan(200), (std::array<std::uint8_t, 3>{0x64, 0x00, 0x00}));  // in range: kept
    EXPECT_EQ(pan(std::numeric_limits<double>::quiet_NaN()), pan(0));
}

TEST(FreedPacket, TheCameraOfAStatusIsTheHeadOrElseTheJibWithTheSlideInMillimetres) {
    const json head = json::parse(
        R"({"readings":{"headPan":-90,"headTilt":12.5,"slide":0.5,"focus":1000,"jibPan":33}})");
    EXPECT_EQ(testing::hex(encodeFreedD1(poseFromStatus(head, 1))), kPackets[0].bytes);

    const auto crane = poseFromStatus(json::parse(R"({"readings":{"jibPan":20,"jibTilt":-5}})"), 2);
    EXPECT_EQ(crane.panDegrees, 20);
    EXPECT_EQ(crane.tiltDegrees, -5);
    EXPECT_EQ(crane.xMillimetres, 0);

    const auto nothing = poseFromStatus(json::parse(R"({"readings":null})"), 3);
    EXPECT_EQ(encodeFreedD1(nothing), encodeFreedD1({3}));
}

const json kStatus = json::parse(
    R"({"readings":{"headPan":1,"headTilt":2},"supportedAxes":[{"axis":"headPan","device":"x"},)"
    R"({"axis":"headTilt","device":"x"}],"realTimeSupportedAxes":[{"axis":"headPan","device":"x"}]})");

json linkList(std::initializer_list<std::pair<const char*, bool>> links) {
    json list = json::array();
    for (const auto& [id, paired] : links) {
        list.push_back({{"linkID", id}, {"isValid", true}, {"isPairingDone", paired}});
    }
    return list;
}

std::vector<std::pair<std::string, int>> cameras(const LinkTable& table, SteadyTime now) {
    std::vector<std::pair<std::string, int>> result;
    for (const auto& link : table.live(now)) {
        result.emplace_back(link.linkId, link.pose.cameraId);
    }
    return result;
}

TEST(LinkTable, IdsFollowPairingOrderAroundConfiguredOnesAndOnlyFreshPairedLinksAreLive) {
    const SteadyTime t0{};
    LinkTable table({{"CFG2", 2}});
    table.applyLinks(linkList({{"B", false}, {"A", false}, {"CFG2", false}}));
    EXPECT_TRUE(table.live(t0).empty());

    table.applyLinks(linkList({{"B", true}, {"A", false}, {"CFG2", false}}));
    table.applyStatus("B", kStatus, t0);
    table.applyLinks(linkList({{"B", true}, {"A", false}, {"cfg2", true}}));
    table.applyStatus("cfg2", kStatus, t0);
    table.applyLinks(linkList({{"B", true}, {"A", true}, {"cfg2", true}}));
    table.applyStatus("A", kStatus, t0 + 500ms);
    EXPECT_EQ(cameras(table, t0 + 900ms),
              (std::vector<std::pair<std::string, int>>{{"B", 1}, {"cfg2", 2}, {"A", 3}}));
    // One second without a status is stale.
    EXPECT_EQ(cameras(table, t0 + 1000ms), (std::vector<std::pair<std::string, int>>{{"A", 3}}));
    EXPECT_EQ(table.axes("A", t0 + 900ms)->supported, 0x03);
    EXPECT_EQ(table.axes("A", t0 + 900ms)->realTime, 0x01);

    // Unpairing stops it at once, and a late status does not bring it back; the id is kept for
    // the next pairing.
    table.applyLinks(linkList({{"B", true}, {"A", false}, {"cfg2", true}}));
    table.applyStatus("A", kStatus, t0 + 600ms);
    EXPECT_FALSE(table.axes("A", t0 + 700ms));
    table.applyLinks(linkList({{"B", true}, {"A", true}, {"cfg2", true}}));
    table.applyStatus("A", kStatus, t0 + 800ms);
    EXPECT_EQ(table.cameraIds(), (json{{"A", 3}, {"B", 1}, {"cfg2", 2}}));
    EXPECT_EQ(table.paired(), (std::vector<std::string>{"B", "cfg2", "A"}));

    // A status from a link no list has named yet counts as paired.
    LinkTable fresh;
    fresh.applyStatus("X", kStatus, t0);
    EXPECT_EQ(cameras(fresh, t0), (std::vector<std::pair<std::string, int>>{{"X", 1}}));
}

}  // namespace
}  // namespace kinetra::studio
