// The service thread's promises: a failing body run again after pauses that double up to a
// bound, or ended with a log line and a notice, as its owner chose; a stop that ends the body's
// wait or the pause at once; an injected fault that passes a loop's own catch; its name.
#include "platform/service_thread.hpp"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <condition_variable>
#include <fstream>
#include <stdexcept>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>

#include "support/log_capture.hpp"
#include "support/wait.hpp"

namespace kinetra::platform {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::waitUntil;

// When each run of a body began. The body fails on its first `failing` runs, then waits for its
// stop on the token.
struct Runs {
    std::mutex mutex;  // guards starts
    std::vector<Clock::time_point> starts;

    ServiceThread::Body body(std::size_t failing) {
        return [this, failing](std::stop_token stop) {
            std::unique_lock lock(mutex);
            starts.push_back(Clock::now());
            if (starts.size() <= failing) {
                throw std::runtime_error("run " + std::to_string(starts.size()) + " broke");
            }
            std::condition_variable_any().wait(lock, stop, [] { return false; });
        };
    }
    std::size_t count() {
        std::lock_guard lock(mutex);
        return starts.size();
    }
};

TEST(ServiceThread, RunsAFailingBodyAgainOrEndsItWithANoticeAsItsOwnerChose) {
    const testing::LogCapture log;
    std::vector<std::string> notices;  // written by `ending`, read once it has ended
    setServiceEndNotice([&](const std::string& text) { notices.push_back(text); });
    Runs again;
    Runs once;
    ServiceThread restarting;
    ServiceThread ending;
    restarting.start({.name = "again", .firstPause = 30ms, .longestPause = 60ms}, again.body(5));
    ending.start({.name = "freed", .service = "FreeD output", .onFailure = OnFailure::end},
                 once.body(5));
    ASSERT_TRUE(waitUntil([&] { return again.count() == 6 && !ending.running(); }));
    EXPECT_EQ(restarting.failures(), 5u);
    EXPECT_TRUE(restarting.running());
    const auto& s = again.starts;  // the body no longer writes to it
    EXPECT_GE(s[1] - s[0], 30ms);
    for (std::size_t i = 2; i < s.size(); ++i) {
        EXPECT_GE(s[i] - s[i - 1], 60ms) << i;
    }
    EXPECT_LT(s[5] - s[0], 900ms);  // 30 + 4 x 60 ms; doubling on would take 930
    EXPECT_TRUE(log.has("error: again failed: run 5 broke; running it again in 60 ms"));
    EXPECT_EQ(once.count(), 1u);
    EXPECT_TRUE(log.has("error: FreeD output stopped after an error: run 1 broke"));
    EXPECT_EQ(notices, std::vector<std::string>{"FreeD output stopped after an error and stays "
                                                "off until the server restarts."});
    setServiceEndNotice({});
    restarting.stop();
    ending.stop();
    EXPECT_FALSE(restarting.running());
    EXPECT_EQ(again.count(), 6u);
}

// A loop that catches every std::exception of a turn, as request loops do, still hands an
// injected fault to its thread: only the thread named gets it, once. A stop ends a wait on the
// token, on the signal's descriptor, or an hour's pause at once; a stopped thread never starts.
TEST(ServiceThread, AnInjectedFaultPassesTheLoopsCatchAndAStopEndsEveryWait) {
    std::string comm;  // written by the thread, read once it is joined
    std::atomic<int> turns{0};
    std::atomic<int> caughtByLoop{0};
    ServiceThread target;
    target.start({.name = "a-rather-long-thread-name", .firstPause = 1h}, [&](std::stop_token) {
        std::ifstream("/proc/self/task/" + std::to_string(::syscall(SYS_gettid)) + "/comm") >> comm;
        while (!target.stopRequested()) {
            try {
                ++turns;
                faultPoint();
                target.stopSignal().waitFor(2ms);
            } catch (const std::exception&) {
                ++caughtByLoop;
            }
        }
    });
    Runs waiting;
    ServiceThread other;
    other.start({.name = "other"}, waiting.body(0));
    injectFault("a-rather-long-thread-name");
    ASSERT_TRUE(waitUntil([&] { return target.failures() == 1; }));  // now in its hour's pause
    const auto before = Clock::now();
    target.stop();
    other.stop();
    EXPECT_LT(Clock::now() - before, 1s);
    EXPECT_EQ(other.failures(), 0u);
    EXPECT_EQ(caughtByLoop, 0);
    EXPECT_EQ(comm, "a-rather-long-t");
    target.start({.name = "again"}, waiting.body(0));
    EXPECT_FALSE(target.running());
    EXPECT_EQ(waiting.count(), 1u);
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)  // their shadow memory
// Runs in a child: starts a thread with no address space left for its stack.
[[noreturn]] void startWithoutRoomForAStack() {
    ServiceThread thread;
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    const rlim_t bytes = static_cast<rlim_t>(pages) * ::sysconf(_SC_PAGESIZE) + (1 << 20);
    const rlimit limit{bytes, bytes};
    ::setrlimit(RLIMIT_AS, &limit);
    try {
        thread.start({.name = "no-stack"}, [](std::stop_token) {});
    } catch (const std::system_error&) {
        std::_Exit(thread.running() ? 2 : 0);
    }
    std::_Exit(1);  // made after all: the limit did not hold
}

// A thread that could not be made is not running. In a freshly started child, so that no stack
// freed by an earlier test is there to reuse.
TEST(ServiceThread, OneThatCouldNotBeMadeIsNotRunning) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(startWithoutRoomForAStack(), ::testing::ExitedWithCode(0), "");
}
#endif

}  // namespace
}  // namespace kinetra::platform
