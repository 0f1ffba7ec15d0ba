// The WebSocket bridge over real sockets and a real bus: the one-client-per-path rule, the error
// frame when no reply can come, a motionAbort overtaking the queue, and clients racing over
// shared paths. (The jog stopped for a client that vanishes is the dead-man's test.)
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "gateway/gateway_texts.hpp"
#include "gateway/server.hpp"
#include "gateway_test_support.hpp"

namespace kinetra::gateway {
namespace {

using namespace std::chrono_literals;
using test::closes;
using test::FakeService;
using test::nextText;
using test::TestClient;
using test::upgraded;

class WebSocketGateway : public ::testing::Test {
protected:
    void SetUp() override {
        server.start(2);
        ASSERT_NE(server.webSocketPort(), 0);
    }
    std::uint16_t port() const { return server.webSocketPort(); }
    bool pathsBecome(const std::vector<std::string>& expected) {
        return test::waitUntil([&] { return server.webSocketPaths() == expected; });
    }
    static FakeService::Answer echo() {
        return [](const std::string& request) { return "re:" + request; };
    }

    test::LogCapture logs;
    Server server{test::kLoopback};
};

TEST_F(WebSocketGateway, RefusesASecondClientAndSendsTheErrorFrameWhenNoReplyCanCome) {
    // A service that stays silent, and one whose socket is gone while the registry still lists
    // it (it died, or its closed announcement is on the way). The bus still takes the request
    // for the gone peer, so both end on the bound of the reply.
    for (const std::string path : {"/v1/test/silent", "/v1/test/gone"}) {
        FakeService service("inproc:/" + path, [](const std::string& request) {
            return request == "before" ? std::optional(request) : std::nullopt;
        });
        TestClient client(port());
        ASSERT_TRUE(upgraded(client, path));
        client.sendText("before");
        ASSERT_EQ(nextText(client), "before");
        // A second client on the bound path is told why (1013: try again later), then closed.
        TestClient second(port());
        second.upgrade(path);
        const auto refusal = second.nextFrame();
        EXPECT_EQ(refusal ? refusal->payload : "", "\x03\xf5" + std::string(kPathTakenReason));
        EXPECT_TRUE(closes(second));
        EXPECT_EQ(server.webSocketPaths(), std::vector<std::string>{path});  // still the first's
        if (path == "/v1/test/gone") {
            service.stop(false);
        }
        const auto started = std::chrono::steady_clock::now();
        client.sendText(R"({"command":"status"})");
        EXPECT_EQ(nextText(client, 4s), R"({"result":"request could not be processed"})");
        EXPECT_GE(std::chrono::steady_clock::now() - started, 950ms) << path;
        EXPECT_TRUE(closes(client));
        ASSERT_TRUE(pathsBecome({}));
    }
    EXPECT_TRUE(logs.has("warning: Could not get response from zmq socket."));
}

// A /v1 client's motionAbort does not wait behind its own message in flight: it goes to the
// bundle at once, the messages between are never sent and are answered "cancelled by stop", and
// the replies still come in the order of the messages.
TEST_F(WebSocketGateway, AStopOvertakesTheMessagesWaitingBehindTheOneInFlightInReplyOrder) {
    const std::string abort = R"({"command":"motionAbort"})";
    FakeService bundle("inproc://v1/bundle/KSTOP", [&](const std::string& request) {
        if (request == "slow") {
            // Held long enough for every later frame to reach the gateway meanwhile; there is
            // no event the service could wait for instead.
            std::this_thread::sleep_for(300ms);
        }
        return std::optional<std::string>(request == abort ? "stopped" : "re:" + request);
    });
    TestClient client(port());
    ASSERT_TRUE(upgraded(client, "/v1/bundle/KSTOP"));
    for (const char* message : {"slow", "first", "second", abort.c_str(), "after"}) {
        client.sendText(message);
    }
    for (const char* expected : {"re:slow", R"({"result":"cancelled by stop"})",
                                 R"({"result":"cancelled by stop"})", "stopped", "re:after"}) {
        EXPECT_EQ(nextText(client), expected);
    }
    EXPECT_EQ(bundle.requests.waitFor(3), (std::vector<std::string>{"slow", abort, "after"}));
}

TEST_F(WebSocketGateway, KeepsConcurrentClientsApartAndThePathTableConsistent) {
    // HTTP requests and WebSocket clients on a few shared paths come and go from several
    // threads at once: every handler races on both workers, the request sockets each worker
    // keeps serve many clients in turn, and every reply must reach the client that asked.
    FakeService a("inproc://v1/test/race/a", echo());
    FakeService b("inproc://v1/test/race/b", echo());
    FakeService c("inproc://v1/test/race/c", echo());
    std::atomic<int> served{0};
    std::atomic<int> wrong{0};
    std::vector<std::jthread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 10; ++round) {
                const std::string path = std::string("/v1/test/race/") + "abc"[(t + round) % 3];
                const std::string text =
                    "[" + std::to_string(t) + "," + std::to_string(round) + "]";
                if (TestClient::exchange(server.httpPort(),
                                         test::httpRequest("POST", path, text)) !=
                    test::expectedResponse("re:" + text)) {
                    ++wrong;
                }
                TestClient client(port());
                client.upgrade(path);
                client.sendText(text);
                // A client refused because the path is bound gets the close frame, no reply.
                if (const auto frame = client.nextFrame(3s); frame && frame->firstByte != 0x88) {
                    (frame->payload == "re:" + text ? served : wrong)++;
                }
            }
        });
    }
    threads.clear();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_GT(served.load(), 0);
    EXPECT_TRUE(pathsBecome({}));
}

}  // namespace
}  // namespace kinetra::gateway
