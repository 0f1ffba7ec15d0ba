#include "app/shutdown_signals.hpp"

#include <unistd.h>

#include <chrono>
#include <future>

#include <gtest/gtest.h>

namespace kinetra::app {
namespace {

using namespace std::chrono_literals;

TEST(ShutdownSignals, ASigtermToTheProcessCallsTheHandlerOnItsThread) {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &signals, nullptr), 0);

    std::promise<std::thread::id> called;
    auto handled = called.get_future();
    {
        ShutdownSignals watcher(signals, [&] { called.set_value(std::this_thread::get_id()); });
        ASSERT_EQ(::kill(::getpid(), SIGTERM), 0);
        ASSERT_EQ(handled.wait_for(5s), std::future_status::ready);
        EXPECT_NE(handled.get(), std::this_thread::get_id());
    }
    // Without a signal, destruction still ends the thread (the test would hang otherwise).
    ShutdownSignals idle(signals, [] {});
}

}  // namespace
}  // namespace kinetra::app
