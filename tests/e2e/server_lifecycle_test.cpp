// The installed server as a user meets it: start with no configuration file and a stale lock
// left by a crashed run, a second instance that leaves silently, an orderly stop.
#include <signal.h>

#include <chrono>

#include <gtest/gtest.h>

#include "support/child_process.hpp"
#include "support/temporary_tree.hpp"

namespace kinetra {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::TemporaryTree;

TEST(ServerLifecycle, RunsAsTheOnlyInstanceAndStopsCleanlyOnSigterm) {
    TemporaryTree tree;
    tree.write("tmp/MyLockFile", "999999999\n");  // a stale id from a crashed run
    const auto start = [&] {
        return std::make_unique<ChildProcess>(
            std::vector<std::string>{KINETRA_SERVER_PATH}, tree.bin().string(),
            std::map<std::string, std::string>{{"TMPDIR", tree.tmp().string()}});
    };
    auto first = start();
    ASSERT_TRUE(first->waitForOutput("Configuratuon loaded from default configurations.", 10s))
        << first->output();
    EXPECT_NE(first->output().find("revision: \"473c2ee\"\r\n"), std::string::npos);
    EXPECT_NE(first->output().find("version: 0.9.8\r\n"), std::string::npos);
    EXPECT_NE(first->output().find("ZeroMQ version is: 4."), std::string::npos);
    const std::string ownId = std::to_string(first->pid()) + "\n";
    EXPECT_EQ(tree.read("tmp/MyLockFile"), ownId);

    auto second = start();
    EXPECT_EQ(second->waitForExit(10s), std::optional<int>(0));
    EXPECT_EQ(second->output(), "");
    EXPECT_EQ(tree.read("tmp/MyLockFile"), ownId);

    first->signal(SIGTERM);
    EXPECT_EQ(first->waitForExit(10s), std::optional<int>(0)) << first->output();
    EXPECT_EQ(tree.read("tmp/MyLockFile"), "");
}

}  // namespace
}  // namespace kinetra
