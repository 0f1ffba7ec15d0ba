// The real server in a temporary install tree, on free loopback ports, as a user meets it: its
// start-up lines, the only instance, no links yet, then an orderly stop with clients connected.
#include <signal.h>

#include <string>

#include <gtest/gtest.h>

#include "e2e/running_server.hpp"
#include "net/test_client.hpp"

namespace kinetra {
namespace {

using net::test::TestClient;

TEST(Gateway, IsTheOnlyInstanceAndStopsCleanlyOnSigtermWithClientsConnected) {
    RunningServer server;
    ASSERT_TRUE(server.listening()) << server.process->output();
    for (const char* line :
         {"revision: \"473c2ee\"\r\n", "version: 0.9.8\r\n", "ZeroMQ version is: 4."}) {
        EXPECT_NE(server.process->output().find(line), std::string::npos) << line;
    }
    // Its id in the lock file: a second start leaves silently.
    const std::string ownId = std::to_string(server.process->pid()) + "\n";
    EXPECT_EQ(server.tree.read("tmp/MyLockFile"), ownId);
    ChildProcess second({KINETRA_SERVER_PATH}, server.tree.bin().string(),
                        {{"TMPDIR", server.tree.tmp().string()}});
    EXPECT_EQ(second.waitForExit(10s), std::optional<int>(0));
    EXPECT_EQ(second.output(), "");
    EXPECT_EQ(server.tree.read("tmp/MyLockFile"), ownId);
    EXPECT_NE(server.process->output().find(R"({"address":"127.0.0.1","port":")" +
                                            std::to_string(server.httpPort) + "\"}"),
              std::string::npos);

    // The device service comes up right after the listeners: no links yet.
    const json links = server.postUntil("/v1/device", {{"command", "linkStatus"}},
                                        [](const json& reply) { return reply.contains("data"); });
    EXPECT_EQ(links, json::parse(R"({"data":[],"result":"ok"})"));

    // An idle WebSocket client and an HTTP client that sent half a request do not hold it up.
    TestClient idle(server.webSocketPort);
    ASSERT_NE(idle.upgrade("/v1/bundle/X1").find("101 Switching Protocols"), std::string::npos);
    TestClient partial(server.httpPort);
    partial.send("POST /v1/device HTTP/1.1\r\nContent-Length: 100\r\n\r\n{\"comm");

    server.process->signal(SIGTERM);
    EXPECT_EQ(server.process->waitForExit(10s), std::optional<int>(0)) << server.process->output();
    EXPECT_EQ(server.tree.read("tmp/MyLockFile"), "");
    for (TestClient* client : {&idle, &partial}) {
        client->readToEnd(2s);
        EXPECT_TRUE(client->closedByServer());
    }
}

}  // namespace
}  // namespace kinetra
