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

TEST(Feed, CarriesTopicAndBodyToTheTopicsSubscribersOnlyAndDropsOtherShapes) {
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
}

}  // namespace
}  // namespace kinetra::bus
