// The Server's own duties: reading its settings, the bind failure question, and stopping with
// clients still connected.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>

#include "gateway/gateway_texts.hpp"
#include "gateway/server.hpp"
#include "gateway_test_support.hpp"
#include "support/recording_notifications.hpp"

namespace kinetra::gateway {
namespace {

using namespace std::chrono_literals;
using test::FakeService;

// A listening socket on 127.0.0.1 that keeps its port taken while it exists.
class TakenPort {
public:
    TakenPort() : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
            ::listen(fd_, 1) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
            throw std::runtime_error("cannot take a port");
        }
        port_ = std::to_string(ntohs(address.sin_port));
    }
    ~TakenPort() { ::close(fd_); }
    const std::string& port() const { return port_; }

private:
    int fd_;
    std::string port_;
};

TEST(GatewayServer, ReadsItsSettingsFromTheConfigurationServiceAndLogsTheHttpPart) {
    test::LogCapture logs;
    FakeService configuration(
        "inproc://test/configuration",
        [](const std::string& request) -> std::optional<std::string> {
            if (request != R"({"command":"server"})") {
                return R"({"result":"unknown section"})";
            }
            return R"({"httpserver":{"port":"40001","address":"127.0.0.2"},)"
                   R"("webserver":{"address":"127.0.0.3","port":"40002"},)"
                   R"("websocket":{"address":"127.0.0.4","port":"40003"}})";
        },
        false);

    Server server("inproc://test/configuration");

    EXPECT_EQ(server.settings().httpAddress, "127.0.0.2");
    EXPECT_EQ(server.settings().httpPort, "40001");
    EXPECT_EQ(server.settings().webAddress, "127.0.0.3");
    EXPECT_EQ(server.settings().webPort, "40002");
    EXPECT_EQ(server.settings().webSocketAddress, "127.0.0.4");
    EXPECT_EQ(server.settings().webSocketPort, "40003");
    EXPECT_TRUE(logs.has("info", R"({"address":"127.0.0.2","port":"40001"})")) << logs.all();
    EXPECT_EQ(server.httpPort(), 0);  // nothing listens before start()
}

TEST(GatewayServer, AnHttpBindFailureAsksToOpenTheConfigurationAndLeavesWebSocketDown) {
    testing::ScopedRecordingBackend toasts;
    test::LogCapture logs;
    TakenPort taken;
    Server server(
        config::ServerSettings{"127.0.0.1", taken.port(), "127.0.0.1", "0", "127.0.0.1", "0"});
    server.start(1);

    EXPECT_EQ(server.httpPort(), 0);
    EXPECT_EQ(server.webSocketPort(), 0);
    EXPECT_TRUE(logs.has("warning", "HTTP Server Error: could not bind to given port. "));
    const auto shown = toasts->shown();
    ASSERT_EQ(shown.size(), 1U);
    EXPECT_EQ(shown[0].toast.layout, notify::ToastTemplate::imageAndText04);
    EXPECT_EQ(
        shown[0].toast.lines,
        (std::vector<std::string>{"HTTP Server Error: could not bind to given port. ", taken.port(),
                                  "Do you want to close SDK and open configuration?"}));
    EXPECT_EQ(shown[0].toast.actions, (std::vector<std::string>{"Yes", "Exit"}));
}

TEST(GatewayServer, AWebSocketBindFailureNamesTheWebSocketPortAndHttpKeepsServing) {
    testing::ScopedRecordingBackend toasts;
    TakenPort taken;
    Server server(
        config::ServerSettings{"127.0.0.1", "0", "127.0.0.1", "0", "127.0.0.1", taken.port()});
    server.start(1);

    ASSERT_NE(server.httpPort(), 0);
    EXPECT_EQ(server.webSocketPort(), 0);
    const auto shown = toasts->shown();
    ASSERT_EQ(shown.size(), 1U);
    ASSERT_EQ(shown[0].toast.lines.size(), 3U);
    EXPECT_EQ(shown[0].toast.lines[1], taken.port());
    EXPECT_EQ(test::httpExchange(server.httpPort(), test::httpRequest("GET", "/v1/none")).body,
              R"({"result":"offline"})");
}

TEST(GatewayServer, AnAddressThatIsNotDottedTextIsABindFailure) {
    testing::ScopedRecordingBackend toasts;
    Server server(config::ServerSettings{"localhost", "0", "127.0.0.1", "0", "127.0.0.1", "0"});
    server.start(1);
    EXPECT_EQ(server.httpPort(), 0);
    EXPECT_EQ(toasts->shown().size(), 1U);
}

TEST(GatewayServer, EachPortServesOnlyItsOwnProtocol) {
    // Neither client is left waiting for an answer that never comes.
    Server server(config::ServerSettings{"127.0.0.1", "0", "127.0.0.1", "0", "127.0.0.1", "0"});
    server.start(1);

    test::WsClient upgradedOnHttp(server.httpPort(), "/v1/device");
    EXPECT_TRUE(upgradedOnHttp.waitClosed());
    const auto plainOnWebSocket =
        test::httpExchange(server.webSocketPort(), test::httpRequest("GET", "/v1/device"));
    EXPECT_TRUE(plainOnWebSocket.closedByServer);
    EXPECT_EQ(plainOnWebSocket.raw, "");
}

TEST(GatewayServer, StopsPromptlyWithClientsConnectedAndWaiting) {
    FakeService silent("inproc://v1/test/stop",
                       [](const std::string&) { return std::optional<std::string>(); });
    std::optional<Server> server(
        config::ServerSettings{"127.0.0.1", "0", "127.0.0.1", "0", "127.0.0.1", "0"});
    // A worker per connection: a handler that waits holds its worker's other connections.
    server->start(4);

    // An idle WebSocket client, one HTTP request and one WebSocket message waiting for a reply
    // that never comes, and a half-sent request.
    test::WsClient idle(server->webSocketPort(), "/v1/test/idle");
    ASSERT_TRUE(idle.upgraded());
    net::test::TestClient waitingHttp(server->httpPort());
    waitingHttp.send(test::httpRequest("GET", "/v1/test/stop"));
    ASSERT_EQ(silent.waitForRequests(1).size(), 1U);
    test::WsClient waitingWs(server->webSocketPort(), "/v1/test/stop");
    ASSERT_TRUE(waitingWs.upgraded());
    waitingWs.sendText("anyone?");
    net::test::TestClient partial(server->httpPort());
    partial.send("GET /v1/te");
    ASSERT_TRUE(test::waitUntil([&] { return server->webSocketPaths().size() == 2; }));

    const auto started = std::chrono::steady_clock::now();
    server.reset();
    // The waits end on the stop, not on their one-second bounds.
    EXPECT_LT(std::chrono::steady_clock::now() - started, 900ms);

    waitingHttp.readToEnd(2s);
    EXPECT_TRUE(waitingHttp.closedByServer());
    EXPECT_TRUE(waitingWs.waitClosed(2s));
    EXPECT_TRUE(idle.waitClosed(2s));
    partial.readToEnd(2s);
    EXPECT_TRUE(partial.closedByServer());
}

}  // namespace
}  // namespace kinetra::gateway
