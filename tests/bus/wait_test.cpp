// The bounded waits every bus client uses: retries within their bound, the caller giving up,
// and the stop signal. Test thread only, with one sender thread.
#include "bus/wait.hpp"

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "bus/socket_registry.hpp"

namespace kinetra::bus {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(BoundedWait, RetriesUntilTheMessageArrivesTheBoundPassesOrTheCallerGivesUp) {
    const auto context = SocketRegistry::instance().context();
    zmq::socket_t pull(*context, zmq::socket_type::pull);
    zmq::socket_t push(*context, zmq::socket_type::push);
    pull.bind("inproc://test/wait");
    push.connect("inproc://test/wait");
    auto start = Clock::now();
    EXPECT_FALSE(receiveWithRetries(pull, 10, 5ms).has_value());
    EXPECT_GE(Clock::now() - start, 50ms);
    int asked = 0;
    EXPECT_FALSE(receiveWithRetries(pull, 1000, 1ms, [&] { return ++asked < 3; }).has_value());
    EXPECT_EQ(asked, 3);
    // A set stop signal ends every wait at once (the services' loops show it is woken too).
    platform::StopSignal stop;
    stop.set();
    EXPECT_FALSE(receiveWithRetries(pull, 1000, 1s, {}, &stop).has_value());
    EXPECT_FALSE(receiveWithin(pull, kForever, &stop).has_value());
    EXPECT_LT(Clock::now() - start, 2s);

    std::jthread sender([&push] {
        std::this_thread::sleep_for(30ms);  // the reply comes while the wait is under way
        ASSERT_TRUE(trySend(push, "reply"));
    });
    start = Clock::now();
    const auto message = receiveWithRetries(pull, 200, 5ms);
    ASSERT_TRUE(message.has_value());
    EXPECT_EQ(message->to_string(), "reply");
    EXPECT_LT(Clock::now() - start, 500ms);  // far below the 1 s bound
}

TEST(BoundedWait, SendsOnceThereIsRoomOrGivesUpAtTheBoundOrTheStop) {
    const auto context = SocketRegistry::instance().context();
    zmq::socket_t pull(*context, zmq::socket_type::pull);
    zmq::socket_t push(*context, zmq::socket_type::push);
    pull.set(zmq::sockopt::rcvhwm, 1);
    push.set(zmq::sockopt::sndhwm, 1);
    pull.bind("inproc://test/send");
    push.connect("inproc://test/send");
    int queued = 0;
    while (trySend(push, "fill") && queued < 100) {
        ++queued;
    }
    ASSERT_LT(queued, 100);  // the queue is full now
    auto start = Clock::now();
    EXPECT_FALSE(sendWithin(push, "late", 50ms));
    EXPECT_GE(Clock::now() - start, 50ms);
    platform::StopSignal stop;
    stop.set();
    start = Clock::now();
    EXPECT_FALSE(sendWithin(push, "late", 10s, &stop));
    EXPECT_LT(Clock::now() - start, 1s);

    std::jthread reader([&pull] {
        std::this_thread::sleep_for(30ms);  // room is made while the send waits
        EXPECT_TRUE(receiveWithin(pull, 1s).has_value());
    });
    start = Clock::now();
    EXPECT_TRUE(sendWithin(push, "waited", 10s));
    EXPECT_LT(Clock::now() - start, 5s);
}

}  // namespace
}  // namespace kinetra::bus
