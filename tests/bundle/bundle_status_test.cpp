// The status service of a real bundle fed by the emulated devices: each status it decodes is
// published on the feed with the data /status answers.
#include "bundle_rig.hpp"
#include "bus/feed.hpp"
#include "bus/wait.hpp"

namespace kinetra::bundle::test {
namespace {

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
