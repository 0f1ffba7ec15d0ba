// A /v1 WebSocket client's motionAbort does not wait behind its own message in flight: it goes
// to the bundle at once, the messages between are never sent and are answered "cancelled by
// stop", and the replies still come in the order of the messages.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "gateway/server.hpp"
#include "gateway_test_support.hpp"

namespace kinetra::gateway {
namespace {

using namespace std::chrono_literals;
using test::FakeService;
using test::nextText;
using test::TestClient;
using test::upgraded;

TEST(WebSocketStop, OvertakesTheMessagesWaitingBehindTheOneInFlightAndKeepsTheReplyOrder) {
    Server server{test::kLoopback};
    server.start(2);
    const std::string abort = R"({"command":"motionAbort"})";
    FakeService bundle("inproc://v1/bundle/KSTOP", [&](const std::string& request) {
        if (request == "slow") {
            // Held long enough for every later frame to reach the gateway meanwhile; there is
            // no event the service could wait for instead.
            std::this_thread::sleep_for(300ms);
        }
        return std::optional<std::string>(request == abort ? "stopped" : "re:" + request);
    });
    TestClient client(server.webSocketPort());
    ASSERT_TRUE(upgraded(client, "/v1/bundle/KSTOP"));
    for (const std::string& message :
         std::vector<std::string>{"slow", "first", "second", abort, "after"}) {
        client.sendText(message);
    }
    for (const char* expected : {"re:slow", R"({"result":"cancelled by stop"})",
                                 R"({"result":"cancelled by stop"})", "stopped", "re:after"}) {
        EXPECT_EQ(nextText(client), expected);
    }
    EXPECT_EQ(bundle.requests.waitFor(3), (std::vector<std::string>{"slow", abort, "after"}));
}

}  // namespace
}  // namespace kinetra::gateway
