// A worker loop's own bus route: replies taken on the loop thread whatever their order and
// however many come at once (the DEALER's descriptor only signals changes), an endpoint that
// closes, and a loop that stops with a request waiting.
#include "gateway/loop_routes.hpp"

#include <map>
#include <mutex>
#include <string>

#include <gtest/gtest.h>

#include "bus/socket_registry.hpp"
#include "support/held_service.hpp"
#include "support/wait.hpp"

namespace kinetra::gateway {
namespace {

using namespace std::chrono_literals;
using kinetra::testing::HeldService;
using kinetra::testing::waitUntil;

struct Ended {
    std::mutex mutex;                            // guards the maps
    std::map<std::string, std::string> replies;  // body -> reply, or the outcome's name
    bool offLoop = false;

    bool has(const std::string& body) {
        std::lock_guard lock(mutex);
        return replies.contains(body);
    }
    std::size_t count() {
        std::lock_guard lock(mutex);
        return replies.size();
    }
};

bus::Route::Completion into(Ended& ended, const std::string& body, net::EventLoop& loop) {
    return [&ended, &loop, body](bus::Outcome outcome, std::string reply) {
        std::lock_guard lock(ended.mutex);
        ended.offLoop = ended.offLoop || !loop.isInLoopThread();
        ended.replies[body] = outcome == bus::Outcome::reply     ? reply
                              : outcome == bus::Outcome::offline ? "offline"
                                                                 : "other";
    };
}

TEST(LoopRoutes, TakesABurstOfRepliesInAnyOrderOnTheLoopThread) {
    constexpr std::size_t kCount = 300;
    HeldService service("inproc://test/loop-burst");
    LoopRoutes routes(bus::SocketRegistry::instance().context());
    auto loop = std::make_shared<net::EventLoop>();
    loop->start();
    Ended ended;
    // Two rounds: the second on the DEALER the first made, after its descriptor has settled.
    for (std::size_t round = 0; round < 2; ++round) {
        loop->post([&, round] {
            for (std::size_t i = 0; i < kCount; ++i) {
                const auto body = std::to_string(round) + "-" + std::to_string(i);
                routes.send(*loop, {.endpoint = "inproc://test/loop-burst",
                                    .body = body,
                                    .client = i % 7,  // within the per-client bound
                                    .patience = 5s,
                                    .done = into(ended, body, *loop)});
            }
        });
        // All of a round held, then answered at once, newest first.
        ASSERT_TRUE(service.hold(kCount * (round + 1))) << "round " << round;
        for (auto i = kCount * (round + 1); i-- > kCount * round;) {
            service.answer(i);
        }
        ASSERT_TRUE(waitUntil([&] { return ended.count() == kCount * (round + 1); }))
            << "round " << round;
    }
    std::lock_guard lock(ended.mutex);
    EXPECT_FALSE(ended.offLoop);
    EXPECT_EQ(ended.replies["0-17"], "re:0-17");
    EXPECT_EQ(ended.replies["1-299"], "re:1-299");
    EXPECT_EQ(routes.socketCount(), 1u);
}

TEST(LoopRoutes, EndsRequestsOfAClosedEndpointAndClosesItsSocketsWhenTheLoopStops) {
    HeldService service("inproc://test/loop-close");
    LoopRoutes routes(bus::SocketRegistry::instance().context());
    auto loop = std::make_shared<net::EventLoop>();
    loop->start();
    Ended ended;
    loop->post([&] {
        routes.send(
            *loop,
            {.endpoint = "inproc://test/loop-close", .body = "a", .done = into(ended, "a", *loop)});
    });
    ASSERT_TRUE(service.hold(1));
    // Ended by the route's check for closed endpoints, which the loop's timer wakes for.
    service.close();
    ASSERT_TRUE(waitUntil([&] { return ended.has("a"); }));
    EXPECT_EQ(ended.replies["a"], "offline");

    // A request still waiting when the loop stops: its socket goes with the loop, unanswered.
    HeldService held("inproc://test/loop-held");
    loop->post([&] {
        routes.send(*loop, {.endpoint = "inproc://test/loop-held",
                            .body = "c",
                            .patience = 60s,
                            .done = into(ended, "c", *loop)});
    });
    ASSERT_TRUE(held.hold(1));
    EXPECT_GE(routes.socketCount(), 1u);
    loop->stop();
    EXPECT_EQ(routes.socketCount(), 0u);
    std::lock_guard lock(ended.mutex);
    EXPECT_FALSE(ended.replies.contains("c"));
}

}  // namespace
}  // namespace kinetra::gateway
