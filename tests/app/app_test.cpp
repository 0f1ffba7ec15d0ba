// The server process's start and end: its command line, the lock that keeps it the only
// instance, and the shutdown signals.
#include "app/command_line.hpp"
#include "app/instance_lock.hpp"
#include "app/shutdown_signals.hpp"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <optional>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/temporary_tree.hpp"

namespace kinetra::app {
namespace {

using namespace std::literals;

// Runs `read` on the command line kinetra-server `args`.
template <typename Read>
auto commandLine(Read read, const std::vector<const char*>& args) {
    std::vector<const char*> argv{"kinetra-server"};
    argv.insert(argv.end(), args.begin(), args.end());
    return read(static_cast<int>(argv.size()), argv.data());
}

// The web application opens only for exactly --open-web first; --simulate counts anywhere.
TEST(CommandLine, TakesOnlyTheExactArguments) {
    EXPECT_TRUE(commandLine(wantsOpenWeb, {"--open-web", "anything"}));
    for (const auto& args : std::vector<std::vector<const char*>>{
             {}, {"--Open-Web"}, {"--open-web2"}, {"--open-we"}, {"-v", "--open-web"}}) {
        EXPECT_FALSE(commandLine(wantsOpenWeb, args)) << args.size();
    }
    EXPECT_EQ(commandLine(simulationArgument, {"--open-web", "--simulate"}), std::string_view());
    EXPECT_EQ(commandLine(simulationArgument, {"--simulate=turretAlpha2;glideTrack"}),
              "turretAlpha2;glideTrack");
    EXPECT_EQ(commandLine(simulationArgument, {"--simulated"}), std::nullopt);
}

InstanceProbe runningAre(std::set<std::string> running) {
    return [running = std::move(running)](std::string_view pid) {
        return running.contains(std::string(pid));
    };
}

TEST(InstanceLock, StartsOnlyWhenNoOtherInstanceRunsLeavesOnlyLiveIdsAndLetsOneOfManyThrough) {
    testing::TemporaryTree tree;
    const std::filesystem::path path = tree.lockFile();
    const struct {
        const char* what;
        const char* before;  // nullptr: no file
        std::set<std::string> running;
        std::optional<bool> acquired;  // nothing: release instead
        const char* after;
    } cases[] = {
        {"first start", nullptr, {}, true, "4242\n"},
        {"stale ids and lines that are no id pruned", "111\n\nx\n0500\n", {"500"}, true, "4242\n"},
        {"second start", "111\n600\n500\n", {"500", "600"}, false, "600\n500\n"},
        // A line that is no number is nobody's id: it stays rather than failing the exit.
        {"release keeps the others",
         "500\n4242\ngarbage\n42420\n",
         {},
         std::nullopt,
         "500\ngarbage\n42420\n"},
    };
    for (const auto& c : cases) {
        std::filesystem::remove(path);
        if (c.before != nullptr) {
            tree.write("tmp/MyLockFile", c.before);
        }
        InstanceLock lock(path.string(), runningAre(c.running));
        if (c.acquired) {
            EXPECT_EQ(lock.acquire(4242), *c.acquired) << c.what;
        } else {
            lock.release(4242);
        }
        EXPECT_EQ(tree.read("tmp/MyLockFile"), c.after) << c.what;
    }
    // A lock file that cannot be made does not block the start.
    InstanceLock unusable((path / "no-such-dir" / "MyLockFile").string(), runningAre({"1"}));
    EXPECT_TRUE(unusable.acquire(5));
    unusable.release(5);

    // Concurrent starts, each "process" a thread; the probe sees an id as running once written.
    std::filesystem::remove(path);
    std::atomic<int> passed{0};
    std::vector<std::jthread> starters;
    for (int id = 1; id <= 8; ++id) {
        starters.emplace_back([&, id] {
            InstanceLock lock(path.string(), [](std::string_view pid) { return !pid.empty(); });
            if (lock.acquire(id)) {
                ++passed;
            }
        });
    }
    starters.clear();
    EXPECT_EQ(passed, 1);
    const std::string ids = tree.read("tmp/MyLockFile");
    EXPECT_EQ(std::ranges::count(ids, '\n'), 1) << ids;
}

TEST(SystemInstanceProbe, KnowsItselfButNotOtherPrograms) {
    const auto probe = systemInstanceProbe();
    EXPECT_TRUE(probe(std::to_string(::getpid())));
    // Init (1) runs, but it is not this program.
    for (const auto& pid : {"1"s, "0"s, "0" + std::to_string(::getpid()), "not a pid"s}) {
        EXPECT_FALSE(probe(pid)) << pid;
    }
}

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
