// A worker loop's own bus route: replies taken on the loop thread whatever their order and
// however many come at once (the DEALER's descriptor only signals changes), an endpoint that
// closes, and a loop that stops with a request waiting.
#include "gateway/loop_routes.hpp"

#include <array>
#include <atomic>
#include <iterator>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <zmq_addon.hpp>

#include "bus/announce.hpp"
#include "bus/socket_registry.hpp"
#include "bus/wait.hpp"
#include "platform/stop_signal.hpp"
#include "support/wait.hpp"

namespace kinetra::gateway {
namespace {

using namespace std::chrono_literals;
using kinetra::testing::waitUntil;

// A ROUTER service on its own thread: holds requests until `burst` have come, then answers
// them all at once, newest first, "re:" + the body.
class BurstService {
public:
    BurstService(std::string endpoint, std::size_t burst)
        : endpoint_(std::move(endpoint)), burst_(burst) {
        router_.set(zmq::sockopt::linger, 0);
        router_.bind(endpoint_);
        bus::announceOpen(std::array{endpoint_});
        EXPECT_TRUE(waitUntil([&] { return bus::SocketRegistry::instance().isOpen(endpoint_); }));
        thread_ = std::jthread([this] { serve(); });
    }
    ~BurstService() { close(); }
    void close() {
        stop_.set();
        if (thread_.joinable()) {
            thread_.join();
        }
        if (router_) {
            bus::announceClosed(std::array{endpoint_});
            router_.close();
        }
    }

private:
    void serve() {
        std::vector<std::vector<zmq::message_t>> held;
        while (bus::waitReadable(std::array<zmq::socket_ref, 1>{router_}, bus::kForever, &stop_)) {
            std::vector<zmq::message_t> frames;
            if (!zmq::recv_multipart(router_, std::back_inserter(frames),
                                     zmq::recv_flags::dontwait)) {
                continue;
            }
            held.push_back(std::move(frames));
            if (held.size() < burst_) {
                continue;
            }
            for (auto message = held.rbegin(); message != held.rend(); ++message) {
                message->back() = zmq::message_t("re:" + message->back().to_string());
                zmq::send_multipart(router_, *message);
            }
            held.clear();
        }
    }

    std::string endpoint_;
    std::size_t burst_;
    zmq::socket_t router_{*bus::SocketRegistry::instance().context(), zmq::socket_type::router};
    platform::StopSignal stop_;
    std::jthread thread_;  // last: joined before the members it uses go
};

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
    BurstService service("inproc://test/loop-burst", kCount);
    LoopRoutes routes(bus::SocketRegistry::instance().context());
    auto loop = std::make_shared<net::EventLoop>();
    loop->start();
    Ended ended;
    // Two rounds: the second on the DEALER the first made, after its descriptor has settled.
    for (int round = 0; round < 2; ++round) {
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
    BurstService service("inproc://test/loop-close", 1000);  // holds everything
    LoopRoutes routes(bus::SocketRegistry::instance().context());
    auto loop = std::make_shared<net::EventLoop>();
    loop->start();
    Ended ended;
    loop->post([&] {
        routes.send(
            *loop,
            {.endpoint = "inproc://test/loop-close", .body = "a", .done = into(ended, "a", *loop)});
        routes.send(
            *loop,
            {.endpoint = "inproc://test/loop-none", .body = "b", .done = into(ended, "b", *loop)});
    });
    ASSERT_TRUE(waitUntil([&] { return ended.has("b"); }));
    EXPECT_EQ(routes.socketCount(), 1u) << "a socket for an endpoint nobody announced";
    service.close();
    ASSERT_TRUE(waitUntil([&] { return ended.has("a"); }));
    EXPECT_EQ(ended.replies["a"], "offline");
    EXPECT_EQ(ended.replies["b"], "offline");

    // A request still waiting when the loop stops: its socket goes with the loop, unanswered.
    BurstService held("inproc://test/loop-held", 1000);
    loop->post([&] {
        routes.send(*loop, {.endpoint = "inproc://test/loop-held",
                            .body = "c",
                            .patience = 60s,
                            .done = into(ended, "c", *loop)});
    });
    ASSERT_TRUE(waitUntil([&] { return routes.socketCount() >= 1; }));
    loop->stop();
    EXPECT_EQ(routes.socketCount(), 0u);
    std::lock_guard lock(ended.mutex);
    EXPECT_FALSE(ended.replies.contains("c"));
}

}  // namespace
}  // namespace kinetra::gateway
