#include "bus/wait.hpp"

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "bus/socket_registry.hpp"

namespace kinetra::bus {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class BoundedWait : public ::testing::Test {
protected:
    BoundedWait()
        : context_(SocketRegistry::instance().context()),
          pull_(*context_, zmq::socket_type::pull),
          push_(*context_, zmq::socket_type::push) {
        // The name of the previous test's socket is freed on the bus's own thread.
        bindWhenFree(pull_, "inproc://test/wait");
        push_.connect("inproc://test/wait");
    }

    std::shared_ptr<zmq::context_t> context_;
    zmq::socket_t pull_;
    zmq::socket_t push_;
};

TEST_F(BoundedWait, RetriesUntilTheMessageArrivesTheBoundPassesOrTheCallerGivesUp) {
    auto start = Clock::now();
    EXPECT_FALSE(receiveWithRetries(pull_, 10, 5ms).has_value());
    EXPECT_GE(Clock::now() - start, 50ms);
    int asked = 0;
    EXPECT_FALSE(receiveWithRetries(pull_, 1000, 1ms, [&] { return ++asked < 3; }).has_value());
    EXPECT_EQ(asked, 3);

    std::jthread sender([this] {
        std::this_thread::sleep_for(30ms);  // the reply comes while the wait is under way
        ASSERT_TRUE(trySend(push_, "reply"));
    });
    start = Clock::now();
    const auto message = receiveWithRetries(pull_, 200, 5ms);
    ASSERT_TRUE(message.has_value());
    EXPECT_EQ(message->to_string(), "reply");
    EXPECT_LT(Clock::now() - start, 500ms);  // far below the 1 s bound
}

TEST_F(BoundedWait, AnEndlessWaitEndsWhenItsStopSignalIsSet) {
    platform::StopSignal stop;
    auto start = Clock::now();
    EXPECT_TRUE(stop.waitFor(30ms));  // no signal: the timed wait runs its course
    EXPECT_GE(Clock::now() - start, 30ms);
    std::jthread stopper([&] {
        std::this_thread::sleep_for(20ms);
        stop.set();
    });
    const std::array<zmq::socket_ref, 1> sockets{pull_};
    start = Clock::now();
    EXPECT_FALSE(waitReadable(sockets, kForever, &stop).has_value());
    EXPECT_LT(Clock::now() - start, 2s);
    // Latched: later waits return at once, and a retrying wait gives up.
    EXPECT_FALSE(stop.waitFor(10s));
    EXPECT_FALSE(receiveWithin(pull_, kForever, &stop).has_value());
    EXPECT_FALSE(receiveWithRetries(pull_, 1000, 1s, {}, &stop).has_value());
    EXPECT_LT(Clock::now() - start, 2s);

    zmq::socket_t req(*context_, zmq::socket_type::req);
    req.set(zmq::sockopt::linger, 0);  // no peer at all: nowhere to queue the request
    start = Clock::now();
    EXPECT_FALSE(trySend(req, "{}"));  // fails without blocking
    EXPECT_LT(Clock::now() - start, 100ms);
}

}  // namespace
}  // namespace kinetra::bus
