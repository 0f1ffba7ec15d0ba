// A server whose standard output nobody reads: the pipe is full, and each round makes it log a
// line it cannot write. For ten seconds it still answers HTTP, /v1 WebSocket and /v2, and its
// bundle's status follows the head; what was queued comes out once a reader returns.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "e2e/running_server.hpp"
#include "net/test_client.hpp"

namespace kinetra {
namespace {

TEST(UnreadConsole, TheServerServesAndDecodesStatusForTenSecondsWhileNobodyReadsItsLog) {
    RunningServer server({"--simulate"});
    ASSERT_TRUE(server.listening()) << server.process->output();
    ASSERT_TRUE(server.linkIs("KSIM0001"));
    ASSERT_EQ(server.post("/v1/link/KSIM0001", {{"command", "link1PairingConnect"}})["result"],
              "ok");
    ASSERT_TRUE(server.paired("KSIM0001"));
    net::test::TestClient bundle(server.webSocketPort);
    ASSERT_TRUE(bundle.upgrade("/v1/bundle/KSIM0001").starts_with("HTTP/1.1 101 "));
    net::test::TestClient rpc(server.webSocketPort);
    ASSERT_TRUE(rpc.upgrade("/v2").starts_with("HTTP/1.1 101 "));
    rpc.sendText(R"({"jsonrpc":"2.0","id":0,"method":"subscribe",)"
                 R"("params":{"topic":"status","linkID":"KSIM0001"}})");

    // The server's standard output, the pipe this test reads, filled as a reader that stopped
    // reading leaves it.
    const int console = ::open(("/proc/" + std::to_string(server.process->pid()) + "/fd/1").c_str(),
                               O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(console, 0);
    while (::write(console, "#", 1) > 0) {
    }
    pollfd full{console, POLLOUT, 0};

    const auto end = std::chrono::steady_clock::now() + 10s;
    int round = 0;
    for (double pan = 4; std::chrono::steady_clock::now() < end; pan = -pan, ++round) {
        SCOPED_TRACE(round);
        // A warning logged on a network thread, into the full pipe.
        ASSERT_EQ(server.post("/v1/bundle/NOSUCHLINK", {{"command", "motionAbort"}})["result"],
                  "offline");
        bundle.sendText(json{
            {"command", "realTimeMoveFixedDuration"},
            {"duration", 0.1},
            {"headPan", pan},
            {"headTilt", 0},
            {"slide", 0}}.dump());
        const auto moved = bundle.nextFrame();
        ASSERT_EQ(moved ? moved->payload : "no reply", R"({"result":"ok"})");
        const auto at = [pan](const json& status) {
            return hasStatus(status) &&
                   status["data"].value("readings", json::object()).value("headPan", 1e9) == pan;
        };
        ASSERT_TRUE(at(server.postUntil("/v1/bundle/KSIM0001/status", json::object(), at)));
        rpc.sendText(R"({"jsonrpc":"2.0","id":7,"method":"call","params":{"path":"/v1/device",)"
                     R"("request":{"command":"linkStatus"}}})");
        bool notified = false;
        bool answered = false;
        for (auto frame = rpc.nextFrame(); frame; frame = rpc.nextFrame()) {
            const json message = json::parse(frame->payload, nullptr, false);
            notified = notified || (message.value("method", "") == "status" &&
                                    at(message.value("params", json::object())));
            answered = answered || (message.value("id", json()) == 7 &&
                                    listsLink(message.value("result", json::object()), "KSIM0001"));
            if (notified && answered) {
                break;
            }
        }
        ASSERT_TRUE(notified && answered) << notified << answered;
    }
    EXPECT_GT(round, 5);
    EXPECT_EQ(::poll(&full, 1, 0), 0) << "the console was read after all";
    ::close(console);

    // The reader comes back as the server stops: what was queued comes out, the last line too.
    server.process->signal(SIGTERM);
    EXPECT_EQ(server.process->waitForExit(10s), std::optional<int>(0));
    EXPECT_NE(server.process->output().find("Shutting down."), std::string::npos);
}

}  // namespace
}  // namespace kinetra
