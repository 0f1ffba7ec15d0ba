// The FreeD D1 encoder against packets computed by hand, and which links get packets, under
// which camera ids, and when they stop. (The camera a status puts in them is the studio
// end-to-end test's.)
#include <gtest/gtest.h>

#include <numeric>

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
        EXPECT_EQ(std::accumulate(packet.begin(), packet.end(), 0U) % 256, 0x40U)
            << c.what << ": the whole packet sums to 0x40";
    }
    // Angles beyond the field's +-256 turn by whole turns; a non-number is zero.
    EXPECT_EQ(encodeFreedD1({1, 300}), encodeFreedD1({1, -60}));
    EXPECT_EQ(encodeFreedD1({1, -300}), encodeFreedD1({1, 60}));
    EXPECT_NE(encodeFreedD1({1, 200}), encodeFreedD1({1, -160}));  // in range: kept
    EXPECT_EQ(encodeFreedD1({1, std::numeric_limits<double>::quiet_NaN()}), encodeFreedD1({1}));
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
