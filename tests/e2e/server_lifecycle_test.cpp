// The installed server as a user meets it: start, single instance, orderly stop.
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

std::unique_ptr<ChildProcess> startServer(const TemporaryTree& tree) {
    return std::make_unique<ChildProcess>(
        std::vector<std::string>{KINETRA_SERVER_PATH}, tree.bin().string(),
        std::map<std::string, std::string>{{"TMPDIR", tree.tmp().string()}});
}

TEST(ServerLifecycle, LogsItsVersionsAndStopsCleanlyOnSigterm) {
    TemporaryTree tree;
    auto server = startServer(tree);
    ASSERT_TRUE(server->waitForOutput("Configuratuon loaded from default configurations.", 10s))
        << server->output();
    EXPECT_NE(server->output().find("revision: \"473c2ee\"\r\n"), std::string::npos);
    EXPECT_NE(server->output().find("version: 0.9.8\r\n"), std::string::npos);
    EXPECT_NE(server->output().find("ZeroMQ version is: 4."), std::string::npos);
    EXPECT_EQ(tree.read("tmp/MyLockFile"), std::to_string(server->pid()) + "\n");

    server->signal(SIGTERM);
    EXPECT_EQ(server->waitForExit(10s), std::optional<int>(0)) << server->output();
    EXPECT_EQ(tree.read("tmp/MyLockFile"), "");
}

TEST(ServerLifecycle, ReadsItsConfigurationFileFromTheInstallTree) {
    TemporaryTree tree;
    tree.write("cfg/config.ini", "[httpserver]\naddress=127.0.0.1\nport=1\n");
    auto server = startServer(tree);
    ASSERT_TRUE(server->waitForOutput("Configuration files read and parse into json object.", 10s))
        << server->output();
    server->signal(SIGINT);
    EXPECT_EQ(server->waitForExit(10s), std::optional<int>(0));
}

TEST(ServerLifecycle, SecondInstanceLeavesSilentlyAndTheFirstKeepsItsId) {
    TemporaryTree tree;
    tree.write("tmp/MyLockFile", "999999999\n");  // a stale id from a crashed run
    auto first = startServer(tree);
    ASSERT_TRUE(first->waitForOutput("Configuratuon loaded", 10s)) << first->output();
    EXPECT_EQ(tree.read("tmp/MyLockFile"), std::to_string(first->pid()) + "\n");

    auto second = startServer(tree);
    EXPECT_EQ(second->waitForExit(10s), std::optional<int>(0));
    EXPECT_EQ(second->output(), "");
    EXPECT_EQ(tree.read("tmp/MyLockFile"), std::to_string(first->pid()) + "\n");

    first->signal(SIGTERM);
    EXPECT_EQ(first->waitForExit(10s), std::optional<int>(0));
}

}  // namespace
}  // namespace kinetra
