#include "bus/feed.hpp"

#include <chrono>
#include <optional>

#include <gtest/gtest.h>

#include "bus/socket_registry.hpp"
#include "bus/wait.hpp"

namespace kinetra::bus {
namespace {

using namespace std::chrono_literals;

// A subscription reaches the publisher through the registry thread some time after it is
// made; publish until the first message arrives (bounded), as a bundle would keep publishing.
std::optional<FeedMessage> publishUntilReceived(zmq::socket_t& publisher, zmq::socket_t& subscriber,
                                                std::string_view topic, std::string_view body) {
    for (int attempt = 0; attempt < 400; ++attempt) {
        publish(publisher, topic, body);
        const std::array<zmq::socket_ref, 1> one{subscriber};
        if (waitReadable(one, 5ms)) {
            return tryReceiveFeed(subscriber);
        }
    }
    return std::nullopt;
}

TEST(Feed, ReachesTheTopicsSubscribersOnlyDropsOtherShapesAndTheDirectSubscriberIsWanted) {
    auto context = SocketRegistry::instance().context();
    auto publisher = makeFeedPublisher(*context);
    auto links = makeFeedSubscriber(*context);
    links.set(zmq::sockopt::subscribe, kLinksTopic);
    const auto received = publishUntilReceived(publisher, links, kLinksTopic, R"({"a":1})");
    ASSERT_TRUE(received);
    EXPECT_EQ(received->topic, "links");
    EXPECT_EQ(received->body, R"({"a":1})");

    // Another topic, three frames, then a good message: only the good one comes out.
    publish(publisher, statusTopic("KSIM0001"), "status");
    publisher.send(zmq::str_buffer("links"), zmq::send_flags::sndmore);
    publisher.send(zmq::str_buffer("x"), zmq::send_flags::sndmore);
    publisher.send(zmq::str_buffer("y"), zmq::send_flags::none);
    publish(publisher, kLinksTopic, "good");
    const std::array<zmq::socket_ref, 1> one{links};
    std::optional<FeedMessage> taken;
    for (int attempt = 0; attempt < 3 && !taken; ++attempt) {
        ASSERT_TRUE(waitReadable(one, 2000ms));
        taken = tryReceiveFeed(links);
    }
    ASSERT_TRUE(taken);
    EXPECT_EQ(taken->body, "good");

    // The direct subscriber takes status without the registry: it must reach the publishers that
    // were made before it (the bundles of links already there), and publishers only build what
    // someone wants, so its topics must count for isWanted as long as it holds them.
    const auto topic = statusTopic("KDIRECT1");
    auto direct = makeDirectFeedSubscriber(*context);
    EXPECT_THROW(makeDirectFeedSubscriber(*context), zmq::error_t);
    EXPECT_FALSE(isWanted(topic));
    subscribeDirect(direct, topic);
    EXPECT_TRUE(isWanted(topic));

    auto later = makeFeedPublisher(*context);
    for (auto* each : {&publisher, &later}) {
        const auto fresh = publishUntilReceived(*each, direct, topic, "fresh");
        ASSERT_TRUE(fresh);
        EXPECT_EQ(fresh->topic, topic);
        EXPECT_EQ(fresh->body, "fresh");
        while (tryReceiveFeed(direct)) {  // the extra copies sent while waiting
        }
    }
    subscribeDirect(direct, topic, false);
    EXPECT_FALSE(isWanted(topic));
}

}  // namespace
}  // namespace kinetra::bus
