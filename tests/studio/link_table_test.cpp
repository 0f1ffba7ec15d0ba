// Which links get FreeD packets, under which camera ids, and when they stop.
#include <gtest/gtest.h>

#include "studio/link_table.hpp"

namespace kinetra::studio {
namespace {

using namespace std::chrono_literals;

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
}

TEST(LinkTable, AStatusFromALinkNoListNamedYetCountsAsPaired) {
    LinkTable table;
    table.applyStatus("X", kStatus, SteadyTime{});
    EXPECT_EQ(cameras(table, SteadyTime{}), (std::vector<std::pair<std::string, int>>{{"X", 1}}));
}

}  // namespace
}  // namespace kinetra::studio
