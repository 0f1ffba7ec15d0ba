#include "app/instance_lock.hpp"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "platform/process.hpp"

namespace kinetra::app {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

InstanceProbe runningAre(std::set<std::string> running) {
    return [running = std::move(running)](std::string_view pid) {
        return running.contains(std::string(pid));
    };
}

TEST(LockLines, PruningKeepsRunningInstancesInOrder) {
    EXPECT_EQ(pruneStaleLines({"10", "20", "30", "40"}, runningAre({"40", "20"})),
              (Lines{"20", "40"}));
    EXPECT_EQ(pruneStaleLines({"", "x", "020"}, runningAre({"20"})), Lines{});
}

TEST(LockLines, UnregisteringRemovesOnlyTheOwnId) {
    EXPECT_EQ(linesWithout({"7", "12", "7", "120"}, 12), (Lines{"7", "7", "120"}));
    // A line that is no number is nobody's id: it stays rather than failing the exit.
    EXPECT_EQ(linesWithout({"garbage", "12"}, 12), Lines{"garbage"});
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

TEST_F(LockFile, FirstStartCreatesTheFileWithItsId) {
    InstanceLock lock(path_.string(), runningAre({}));
    EXPECT_TRUE(lock.acquire(4242));
    EXPECT_EQ(content(), "4242\n");
}

TEST_F(LockFile, StaleIdsArePrunedAndTheStartGoesOn) {
    write("111\n222\n");
    InstanceLock lock(path_.string(), runningAre({}));
    EXPECT_TRUE(lock.acquire(333));
    EXPECT_EQ(content(), "333\n");
}

TEST_F(LockFile, SecondStartLeavesTheFirstIdUntouched) {
    write("111\n500\n");
    InstanceLock lock(path_.string(), runningAre({"500"}));
    EXPECT_FALSE(lock.acquire(600));
    EXPECT_EQ(content(), "500\n");
}

TEST_F(LockFile, ReleaseKeepsOtherLiveIds) {
    write("500\n600\n700\n");
    InstanceLock lock(path_.string(), runningAre({}));
    lock.release(600);
    EXPECT_EQ(content(), "500\n700\n");
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

TEST(InstanceLockPath, SitsDirectlyInTheTemporaryDirectory) {
    EXPECT_EQ(InstanceLock::defaultPath(), platform::temporaryDirectoryText() + "/MyLockFile");
}

}  // namespace
}  // namespace kinetra::app
