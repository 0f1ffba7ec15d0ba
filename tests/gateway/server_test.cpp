// The Server's own duties: its settings when the configuration service is missing, the bind
// failure question, one protocol per port. (Reading the settings and stopping with clients
// connected are the end-to-end gateway test's.)
#include <gtest/gtest.h>

#include <string>

#include "gateway/server.hpp"
#include "gateway_test_support.hpp"
#include "net/loopback_server.hpp"
#include "support/recording_notifications.hpp"

namespace kinetra::gateway {
namespace {

using namespace std::chrono_literals;
using test::TestClient;

TEST(GatewayServer, ABindFailureAsksToOpenTheConfigurationNamingThePortThatFailed) {
    const net::test::LoopbackServer taken([](const net::TcpConnection::Ptr&) {});
    const std::string port = std::to_string(taken.port());

    // The HTTP listener comes first: when it fails, the WebSocket listener is not started.
    for (const bool httpTaken : {true, false}) {
        testing::ScopedRecordingBackend toasts;
        test::LogCapture logs;
        config::ServerSettings settings = test::kLoopback;
        (httpTaken ? settings.httpPort : settings.webSocketPort) = port;
        Server server(settings);
        server.start(1);
        EXPECT_EQ(server.httpPort() == 0, httpTaken);
        EXPECT_EQ(server.webSocketPort(), 0);
        EXPECT_TRUE(logs.has("warning: HTTP Server Error: could not bind to given port. "));
        ASSERT_EQ(toasts->shown().size(), 1U);
        const auto toast = toasts->shown()[0].toast;
        EXPECT_EQ(toast.layout, notify::ToastTemplate::imageAndText04);
        EXPECT_EQ(toast.lines, (std::vector<std::string>{
                                   "HTTP Server Error: could not bind to given port. ", port,
                                   "Do you want to close SDK and open configuration?"}));
        EXPECT_EQ(toast.actions, (std::vector<std::string>{"Yes", "Exit"}));
    }
}

TEST(GatewayServer, FallsBackToItsOwnSettingsAndServesOnlyItsOwnProtocolOnEachPort) {
    // No configuration service: the built-in settings after the bounded wait, not a hang.
    test::LogCapture logs;
    EXPECT_EQ(Server("inproc://test/nobody").settings().httpPort, "32222");
    EXPECT_TRUE(logs.has("warning: No answer from the configuration service"));
    // Neither client is left waiting for an answer that never comes.
    Server server(test::kLoopback);
    server.start(1);
    TestClient upgradedOnHttp(server.httpPort());
    upgradedOnHttp.upgrade("/v1/device");
    EXPECT_TRUE(test::closes(upgradedOnHttp));
    EXPECT_EQ(TestClient::exchange(server.webSocketPort(), test::httpRequest("GET", "/v1/device")),
              "");
}

}  // namespace
}  // namespace kinetra::gateway
