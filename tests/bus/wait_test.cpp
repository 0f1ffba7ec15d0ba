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
    // A set stop signal ends every wait at once (the services' loops show it is woken too).
    platform::StopSignal stop;
    stop.set();
    EXPECT_FALSE(receiveWithRetries(pull_, 1000, 1s, {}, &stop).has_value());
    EXPECT_FALSE(receiveWithin(pull_, kForever, &stop).has_value());
    EXPECT_LT(Clock::now() - start, 2s);

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

}  // namespace
}  // namespace kinetra::bus
