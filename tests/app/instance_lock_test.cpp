#include "app/instance_lock.hpp"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <thread>

#include <gtest/gtest.h>

namespace kinetra::app {
namespace {

namespace fs = std::filesystem;

InstanceProbe runningAre(std::set<std::string> running) {
    return [running = std::move(running)](std::string_view pid) {
        return running.contains(std::string(pid));
    };
}

class LockFile : public ::testing::Test {
protected:
    LockFile() : path_(fs::temp_directory_path() / ("kinetra-lock-" + std::to_string(::getpid()))) {
        fs::remove(path_);
    }
    ~LockFile() override { fs::remove(path_); }

    std::string content() const {
        std::ifstream file(path_);
        return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    }
    void write(const std::string& text) const { std::ofstream(path_) << text; }

    fs::path path_;
};

TEST_F(LockFile, StartsOnlyWhenNoOtherInstanceRunsAndLeavesOnlyLiveIds) {
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
        fs::remove(path_);
        if (c.before != nullptr) {
            write(c.before);
        }
        InstanceLock lock(path_.string(), runningAre(c.running));
        if (c.acquired) {
            EXPECT_EQ(lock.acquire(4242), *c.acquired) << c.what;
        } else {
            lock.release(4242);
        }
        EXPECT_EQ(content(), c.after) << c.what;
    }
}

TEST_F(LockFile, UnusableFileDoesNotBlockTheStart) {
    InstanceLock lock((path_ / "no-such-dir" / "MyLockFile").string(), runningAre({"1"}));
    EXPECT_TRUE(lock.acquire(5));
    lock.release(5);
}

TEST_F(LockFile, ConcurrentStartsLetExactlyOneThrough) {
    // Each "process" is a thread here; the probe sees an id as running once it is written.
    std::atomic<int> passed{0};
    std::vector<std::jthread> starters;
    for (int id = 1; id <= 8; ++id) {
        starters.emplace_back([&, id] {
            InstanceLock lock(path_.string(), [](std::string_view pid) { return !pid.empty(); });
            if (lock.acquire(id)) {
                ++passed;
            }
        });
    }
    starters.clear();
    EXPECT_EQ(passed, 1);
    const auto text = content();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
}

TEST(SystemInstanceProbe, KnowsItselfButNotOtherPrograms) {
    const auto probe = systemInstanceProbe();
    EXPECT_TRUE(probe(std::to_string(::getpid())));
    EXPECT_FALSE(probe("1"));  // init runs, but it is not this program
    EXPECT_FALSE(probe("0"));
    EXPECT_FALSE(probe("0" + std::to_string(::getpid())));
    EXPECT_FALSE(probe("not a pid"));
}

}  // namespace
}  // namespace kinetra::app
