// The gateway's Server over real sockets and a real bus: forwarding, the failure replies, the one
// response form, the bounded wait and the request sockets kept per worker; its settings when
// the configuration service is missing, the bind failure question, one protocol per port; the
// text of its /metrics.
// (Reading the settings and stopping with clients connected are the end-to-end gateway test's.)
#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <string>
#include <vector>

#include "gateway/metrics.hpp"
#include "gateway/server.hpp"
#include "gateway_test_support.hpp"
#include "net/loopback_server.hpp"
#include "support/recording_notifications.hpp"

namespace kinetra::gateway {
namespace {

using namespace std::chrono_literals;
using test::expectedResponse;
using test::FakeService;
using test::TestClient;

// One worker: every request runs on the same thread, so each one meets the socket the
// previous request to its endpoint left behind.
class HttpGateway : public ::testing::Test {
protected:
    void SetUp() override {
        server.start(1);
        ASSERT_NE(server.httpPort(), 0);
    }
    std::optional<std::string> exchange(const std::string& method, const std::string& target,
                                        const std::string& body = "") {
        return TestClient::exchange(server.httpPort(), test::httpRequest(method, target, body));
    }

    Server server{test::kLoopback};
};

// The request is passed on compact, the reply as it came, in the one response form; what cannot be
// passed on is answered by the gateway itself.
TEST_F(HttpGateway, AnswersWithTheServicesReplyOrItsOwnInTheOneResponseForm) {
    FakeService service("inproc://v1/test/echo",
                        [](const std::string& request) { return R"({"got": )" + request + "}"; });
    // Bound but never announced, like the configuration service: it must see no request.
    FakeService hidden(
        "inproc://v1/test/hidden", [](const std::string&) { return "{}"; }, false);
    const std::string deep = std::string(3000, '[') + std::string(3000, ']');  // within limits
    const std::array<std::string, 3> cases[] = {
        {"/v1/test/echo?pan=1", "{ \"pan\" :\t[ 1, 2 ] }\n", R"({"got": {"pan":[1,2]}})"},
        {"/v1/test/echo", "", R"({"got": {}})"},
        {"/v1/test/echo", deep, R"({"got": )" + deep + "}"},
        {"/v1/test/echo", "\xff{not json", R"({"result":"invalid path"})"},
        {"/v1/test/echo", std::string(9000, ' ') + "{}", R"({"result":"request too large"})"},
        {"/v1/test/hidden", "", R"({"result":"offline"})"},
    };
    for (const auto& [target, body, reply] : cases) {
        // The one refused for its size ends its connection.
        EXPECT_EQ(exchange("POST", target, body),
                  expectedResponse(reply, body.size() > Server::kReceiveLimit))
            << target << body;
    }
    EXPECT_TRUE(hidden.requests.waitFor().empty());
}

// A client that reuses its connection gets every answer on it, each one forwarded and answered
// later on the connection's loop; a request the gateway refuses on its headers, or one asking to
// close, is answered with Connection: close, the connection ends, and what was sent behind it
// never reaches the service. (Malformed and oversize requests end in the HTTP session alone.)
TEST_F(HttpGateway, KeepsAConnectionAndClosesOnlySayingSo) {
    FakeService service("inproc://v1/test/echo",
                        [](const std::string& request) { return request; });
    TestClient reusing(server.httpPort());
    for (int i = 0; i < 10; ++i) {
        const std::string body = R"({"n":)" + std::to_string(i) + "}";
        reusing.send(test::httpRequest("POST", "/v1/test/echo", body));
        EXPECT_EQ(reusing.nextResponse(), expectedResponse(body));
    }
    const std::string behind = test::httpRequest("POST", "/v1/test/echo", R"({"behind":1})");
    const std::pair<std::string, std::string> ending[] = {
        {test::httpRequest("POST", "/v1/test/echo", "{}",
                           {"Host: 127.0.0.1", "Origin: http://elsewhere.example"}),
         "HTTP/1.1 403 Forbidden"},
        {test::httpRequest("POST", "/v1/test/echo", "{}", {"Connection: close"}),
         "HTTP/1.1 200 OK"},
    };
    for (const auto& [request, status] : ending) {
        TestClient client(server.httpPort());
        client.send(request + behind);
        const std::string received = client.readToEnd();
        EXPECT_TRUE(received.starts_with(status + "\r\n")) << received;
        EXPECT_NE(received.find("\r\nConnection: close\r\n"), std::string::npos) << received;
        EXPECT_EQ(received.find(R"({"behind":1})"), std::string::npos) << received;
        EXPECT_TRUE(client.closedByServer());
    }
    EXPECT_EQ(service.requests.waitFor(12, 200ms).size(), 11U);
}

// A kept connection whose client goes (closes or resets) while its request waits on a silent
// service frees its slot at once, not when the answer would have come: the listener here takes
// one connection at a time.
TEST(HttpGatewayLimit, AClientGoneMidRequestFreesItsSlot) {
    FakeService device("inproc://v1/test/device",
                       [](const std::string&) { return R"({"result":"ok"})"; });
    config::SecuritySettings security;
    security.maxConnections = 1;
    Server server(test::kLoopback, security);
    server.start(1);
    const auto post = [](const std::string& path) { return test::httpRequest("POST", path, "{}"); };
    for (const bool reset : {false, true}) {
        const std::string path = reset ? "/v1/test/silent1" : "/v1/test/silent0";
        FakeService silent("inproc:/" + path, [](const std::string&) { return std::nullopt; });
        std::unique_ptr<TestClient> gone;
        // The previous round's client may still hold the one slot for a moment.
        ASSERT_TRUE(test::waitUntil([&] {
            gone = std::make_unique<TestClient>(server.httpPort());
            gone->send(post(path));
            return silent.requests.waitFor(1, 100ms).size() == 1;
        }));
        const auto since = std::chrono::steady_clock::now();
        if (reset) {
            gone->reset();
        }
        gone.reset();
        EXPECT_TRUE(test::waitUntil([&] {
            return TestClient::exchange(server.httpPort(), post("/v1/test/device")) ==
                   expectedResponse(R"({"result":"ok"})");
        }));
        EXPECT_LT(std::chrono::steady_clock::now() - since, 700ms);
    }
}

// One worker thread, six HTTP requests and a /v2 call waiting on a link whose service never
// answers: a request elsewhere on a new connection is answered at once, over HTTP and over /v2,
// and the waiting ones end on their own bounds, HTTP with an empty body after a second.
TEST_F(HttpGateway, ASilentLinkHoldsUpOnlyTheRequestsAddressedToItUntilTheirBound) {
    FakeService silent("inproc://v1/test/silent", [](const std::string&) { return std::nullopt; });
    FakeService device("inproc://v1/test/device",
                       [](const std::string&) { return R"({"data":[],"result":"ok"})"; });
    std::vector<std::future<std::optional<std::string>>> waiting;
    for (int i = 0; i < 6; ++i) {
        waiting.push_back(std::async(std::launch::async, [this] {
            const auto started = std::chrono::steady_clock::now();
            auto answer = exchange("POST", "/v1/test/silent", R"({"command":"status"})");
            EXPECT_GE(std::chrono::steady_clock::now() - started, 950ms);  // 200 tries 5 ms apart
            return answer;
        }));
    }
    TestClient v2(server.webSocketPort());
    ASSERT_TRUE(test::upgraded(v2, "/v2"));
    v2.sendText(R"({"jsonrpc":"2.0","id":1,"method":"call","params":{"path":"/v1/test/silent"}})");
    ASSERT_EQ(silent.requests.waitFor(1).size(), 1U);  // the service holds the first one

    // CI machines are slower and shared; on an idle one this is well under 100 ms.
    constexpr auto kAtOnce = 300ms;
    for (int round = 0; round < 3; ++round) {
        auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(exchange("POST", "/v1/test/device", R"({"command":"linkStatus"})"),
                  expectedResponse(R"({"data":[],"result":"ok"})"));
        EXPECT_LT(std::chrono::steady_clock::now() - started, kAtOnce);

        started = std::chrono::steady_clock::now();
        TestClient other(server.webSocketPort());
        ASSERT_TRUE(test::upgraded(other, "/v2"));
        other.sendText(
            R"({"jsonrpc":"2.0","id":2,"method":"call","params":{"path":"/v1/test/device"}})");
        EXPECT_EQ(test::nextText(other),
                  R"({"id":2,"jsonrpc":"2.0","result":{"data":[],"result":"ok"}})");
        EXPECT_LT(std::chrono::steady_clock::now() - started, kAtOnce);
    }

    for (auto& request : waiting) {
        EXPECT_EQ(request.get(), expectedResponse(""));
    }
    EXPECT_EQ(test::nextText(v2),
              R"({"error":{"code":-32000,"message":"no reply"},"id":1,"jsonrpc":"2.0"})");
}

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

bool has(const std::string& text, const std::string& line) {
    return text.find(line + "\n") != std::string::npos;
}

// The Prometheus text of the links' health: label escaping, what a link's data lacks, and the
// summary of a link without round trips.
TEST(Metrics, RendersEachLinksFiguresAndLeavesOutWhatItLacks) {
    const std::map<std::string, json> links{
        {"A\"\\\n", json::parse(R"({"framesIn":7,"statusAgeMs":250,
            "ackRoundTrip":{"count":2,"p50":1.5,"p99":30,"sumMs":31.5}})")},
        {"B", json::parse(R"({"framesIn":0,"ackRoundTrip":{"count":0,"p50":null,"p99":null,
            "sumMs":0}})")},
    };
    const auto text = metricsText(links, {3, 9});
    const std::string rows[] = {
        "# TYPE kinetra_link_frames_received_total counter",
        R"(kinetra_link_frames_received_total{link="A\"\\\n"} 7)",
        R"(kinetra_link_frames_received_total{link="B"} 0)",
        R"(kinetra_link_status_age_seconds{link="A\"\\\n"} 0.25)",
        "# TYPE kinetra_link_ack_seconds summary",
        R"(kinetra_link_ack_seconds{link="A\"\\\n",quantile="0.5"} 0.0015)",
        R"(kinetra_link_ack_seconds{link="A\"\\\n",quantile="0.99"} 0.03)",
        R"(kinetra_link_ack_seconds_sum{link="A\"\\\n"} 0.0315)",
        R"(kinetra_link_ack_seconds_count{link="A\"\\\n"} 2)",
        R"(kinetra_link_ack_seconds{link="B",quantile="0.99"} NaN)",
        "kinetra_gateway_connections 3",
        "kinetra_log_messages_dropped_total 9",
    };
    for (const auto& row : rows) {
        EXPECT_TRUE(has(text, row)) << row << "\n" << text;
    }
    // B has not had a status: no age rather than a made-up one; nobody has retries: no family.
    EXPECT_EQ(text.find(R"(kinetra_link_status_age_seconds{link="B"})"), std::string::npos);
    EXPECT_EQ(text.find("kinetra_link_retries_total"), std::string::npos);
}

}  // namespace
}  // namespace kinetra::gateway
