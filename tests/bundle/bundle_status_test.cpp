// The status service of a real bundle fed by the emulated devices: what /status answers before
// and after the first status message as the gear moves, and the same status
// published on the feed.
#include <set>

#include "bundle_rig.hpp"
#include "bus/feed.hpp"
#include "bus/wait.hpp"

namespace kinetra::bundle::test {
namespace {

std::set<std::string> keysOf(const json& object) {
    std::set<std::string> keys;
    if (object.is_object()) {
        for (const auto& [key, value] : object.items()) {
            keys.insert(key);
        }
    }
    return keys;
}

TEST(BundleStatus, IsNullBeforeTheFirstStatusThenFollowsTheHeadAndSliderAsTheyMove) {
    BundleRig rig(gear({device(DeviceModel::turretAlpha2, 1), device(DeviceModel::glideTrack, 2)}));
    EXPECT_EQ(rig.ask(bus::bundleStatusEndpoint(rig.linkId()), "anything"),
              R"({"data":null,"result":"ok"})");
    ASSERT_TRUE(rig.pair(Medium::rj45));

    const auto first = rig.awaitStatus([](const json&) { return true; });
    ASSERT_TRUE(first);
    EXPECT_EQ(keysOf((*first)["readings"]),
              (std::set<std::string>{"headPan", "headTilt", "slide"}));
    // The rest of the record is read as the status decoder's tests read it.
    EXPECT_EQ((*first)["deviceInfo"].size(), 2u);
    EXPECT_TRUE((*first)["timestampEpoch"].is_number_integer());

    // A move and a stored pose show in later statuses, in degrees and slide units.
    ASSERT_EQ(rig.command({{"command", "realTimeMoveFixedDuration"},
                           {"duration", 0.1},
                           {"headPan", 12.5},
                           {"headTilt", -3},
                           {"slide", 4}}),
              (json{{"result", "ok"}}));
    const json target{{"headPan", 12.5}, {"headTilt", -3.0}, {"slide", 4.0}};
    EXPECT_TRUE(rig.awaitStatus(
        [&](const json& s) { return s["readings"] == target && s["state"] == "idle"; }));
    ASSERT_EQ(rig.command({{"command", "keyposeStoreCurrentPose"}, {"index", 4}}),
              (json{{"result", "ok"}}));
    EXPECT_TRUE(rig.awaitStatus([](const json& s) {
        return s["keyposeSlotsFilled"] == json{false, false, false, false, true, false};
    }));
}

// Each decoded status goes out on the feed as it comes, with the very data /status answers: the
// status thread publishes a status before it answers any later request, so the data of a /status
// reply has been published, text for text, by the time the reply arrives.
TEST(BundleStatus, EachStatusIsPublishedWithTheDataStatusAnswers) {
    BundleRig rig(gear({device(DeviceModel::turretAlpha2, 1), device(DeviceModel::glideTrack, 2)}));
    auto context = bus::SocketRegistry::instance().context();
    auto feed = bus::makeFeedSubscriber(*context);
    feed.set(zmq::sockopt::subscribe, bus::statusTopic(rig.linkId()));
    ASSERT_TRUE(rig.pair(Medium::rj45));
    const auto answered = core::dumpCompact(rig.status()["data"]);

    const std::array<zmq::socket_ref, 1> sockets{feed};
    int published = 0;
    const auto deadline = std::chrono::steady_clock::now() + kWait;
    while (std::chrono::steady_clock::now() < deadline) {
        if (!bus::waitReadable(sockets, 100ms)) {
            continue;
        }
        const auto message = bus::tryReceiveFeed(feed);
        if (message && message->topic == bus::statusTopic(rig.linkId())) {
            ++published;
            if (message->body == answered) {
                return;
            }
        }
    }
    ADD_FAILURE() << published << " statuses published, none of them " << answered;
}

}  // namespace
}  // namespace kinetra::bundle::test
