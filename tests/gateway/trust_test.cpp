// The gateway's side of the trust boundary over real sockets (the decision itself is the
// policy's, tested as a table in the network tests): what is refused never reaches the service,
// the key, the privileged commands and figures, the refusals' log, and the listeners' connection
// limit beside slow clients.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "gateway/server.hpp"
#include "gateway_test_support.hpp"

namespace kinetra::gateway {
namespace {

using namespace std::chrono_literals;
using test::TestClient;

constexpr const char* kPath = "/v1/test/trust";

std::string request(const std::string& method, const std::vector<std::string>& headers,
                    const std::string& body = "") {
    return test::httpRequest(method, kPath, body, headers);
}

std::string upgrade(std::vector<std::string> headers, const std::string& target = kPath) {
    headers.insert(headers.end(),
                   {"Upgrade: websocket", "Connection: Upgrade",
                    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==", "Sec-WebSocket-Version: 13"});
    return test::httpRequest("GET", target, "", headers);
}

std::string statusLine(const std::string& response) {
    return response.substr(0, response.find("\r\n"));
}

class GatewayTrust : public ::testing::Test {
protected:
    void start(config::SecuritySettings security) {
        server = std::make_unique<Server>(test::kLoopback, std::move(security));
        server->start(2);
        ASSERT_NE(server->httpPort(), 0);
    }
    std::string exchange(const std::string& text) {
        return TestClient::exchange(server->httpPort(), text).value_or("<kept open>");
    }

    test::LogCapture logs;
    test::FakeService service{std::string("inproc:/") + kPath,
                              [](const std::string&) { return R"({"result":"ok"})"; }};
    std::unique_ptr<Server> server;
};

// Loopback is left out of trustedNetworks: the test's client is untrusted.
TEST_F(GatewayTrust, AnUntrustedClientNeedsTheKeyPrivilegesNeedTrustAndRefusalsAreLoggedSparingly) {
    const std::string host = "Host: localhost";
    const std::string deviceFound =
        R"({"command":"device\u005ffound","linkID":"KSIM0001","portName":"/dev/pts/0"})";
    config::SecuritySettings withKey;
    withKey.apiKey = "k3y";
    withKey.trustedNetworks = {"10.0.0.0/8"};
    start(withKey);
    // Any page can make a browser send refused requests at will: the log gets one line a second
    // with the count held back.
    const auto refusals = [this] {
        auto lines = logs.lines();
        std::erase_if(lines, [](const std::string& line) {
            return !line.starts_with("warning: Refused POST /v1/test/trust from 127.0.0.1:");
        });
        return lines;
    };
    for (int i = 0; i < 30; ++i) {
        exchange(request("POST", {host}, "{}"));
    }
    EXPECT_EQ(refusals().size(), 1U);
    // Once the second has passed, the next line tells how many were held back.
    ASSERT_TRUE(test::waitUntil([&] {
        exchange(request("POST", {host}, "{}"));
        return refusals().size() == 2;
    }));
    EXPECT_TRUE(refusals().back().ends_with(" more since the last report)")) << refusals().back();

    EXPECT_EQ(statusLine(exchange(request("POST", {host, "X-Api-Key: k3"}, "{}"))),
              "HTTP/1.1 401 Unauthorized");
    // Refused on the headers, without waiting for a body that never comes.
    TestClient silent(server->httpPort());
    silent.send("POST /v1/test/trust HTTP/1.1\r\nHost: localhost\r\nContent-Length: 100\r\n\r\n");
    const std::string refusal = silent.readToEnd(2s);
    EXPECT_EQ(statusLine(refusal), "HTTP/1.1 401 Unauthorized");
    EXPECT_NE(refusal.find("\r\nConnection: close\r\n"), std::string::npos) << refusal;
    EXPECT_TRUE(silent.closedByServer());
    TestClient refused(server->webSocketPort());
    EXPECT_TRUE(refused.handshake(upgrade({host})).starts_with("HTTP/1.1 401 "));
    EXPECT_TRUE(service.requests.waitFor(1, 200ms).empty());
    // With the key: forwarded, the privileged command included.
    EXPECT_EQ(statusLine(exchange(request("POST", {host, "X-Api-Key: k3y"}, deviceFound))),
              "HTTP/1.1 200 OK");
    TestClient keyed(server->webSocketPort());
    ASSERT_TRUE(keyed.handshake(upgrade({host}, std::string(kPath) + "?apiKey=k3y"))
                    .starts_with("HTTP/1.1 101 "));
    keyed.sendText(deviceFound);
    EXPECT_EQ(test::nextText(keyed), R"({"result":"ok"})");
    EXPECT_EQ(service.requests.waitFor(2).size(), 2U);
    // A client's control characters never start a log line of their own.
    TestClient v2(server->webSocketPort());
    ASSERT_TRUE(v2.handshake(upgrade({host}, "/v2?apiKey=k3y")).starts_with("HTTP/1.1 101 "));
    v2.sendText(
        R"({"jsonrpc":"2.0","id":1,"method":"call","params":{"path":"/v1/x\nwarning: forged"}})");
    EXPECT_EQ(test::nextText(v2), R"({"id":1,"jsonrpc":"2.0","result":{"result":"offline"}})");
    EXPECT_TRUE(logs.has("warning: inproc://v1/x\\nwarning: forged is offline."));
    EXPECT_FALSE(logs.has("warning: forged"));
    // The link figures go to the same clients as the privileged commands.
    EXPECT_EQ(statusLine(exchange(test::httpRequest("GET", "/metrics?apiKey=k3", "", {host}))),
              "HTTP/1.1 401 Unauthorized");
    EXPECT_EQ(
        statusLine(exchange(test::httpRequest("GET", "/metrics", "", {host, "X-Api-Key: k3y"}))),
        "HTTP/1.1 200 OK");

    // No key at all: the privileged commands only from trusted clients, everything else passes.
    config::SecuritySettings open;
    open.trustedNetworks = {"10.0.0.0/8"};
    start(open);
    EXPECT_EQ(statusLine(exchange(request("POST", {host}, deviceFound))), "HTTP/1.1 403 Forbidden");
    EXPECT_EQ(statusLine(exchange(test::httpRequest("GET", "/metrics", "", {host}))),
              "HTTP/1.1 401 Unauthorized");
    TestClient client(server->webSocketPort());
    ASSERT_TRUE(client.handshake(upgrade({host})).starts_with("HTTP/1.1 101 "));
    client.sendText(R"({"command":"startLinkRadioFirmwareUpdate"})");
    EXPECT_EQ(test::nextText(client), R"({"result":"forbidden"})");
    client.sendText(R"({"command":"linkStatus"})");
    EXPECT_EQ(test::nextText(client), R"({"result":"ok"})");
    EXPECT_EQ(service.requests.waitFor(3).back(), R"({"command":"linkStatus"})");
}

// Slow clients hold nothing a normal client needs; beyond the limit new ones are closed at once,
// with one log line however many come.
TEST_F(GatewayTrust, SlowClientsDoNotDelayOthersAndTheLimitClosesTheSurplus) {
    config::SecuritySettings security;
    security.maxConnections = 404;
    start(security);
    std::vector<std::unique_ptr<TestClient>> slow;
    for (int i = 0; i < 400; ++i) {
        slow.push_back(std::make_unique<TestClient>(server->httpPort()));
        slow.back()->send("POST /v1/test/trust HTTP/1.1\r\nHost: loc");  // and nothing more
    }
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(statusLine(exchange(request("POST", {"Host: localhost"}, "{}"))), "HTTP/1.1 200 OK");
    EXPECT_LT(std::chrono::steady_clock::now() - before, 2s);

    // Fill up to the limit (the answered client's slot may take a moment to free), then more.
    // Each speaks at once, as HTTP clients do: the kernel hands over a connection when its
    // first bytes have come.
    const auto speaking = [&] {
        auto client = std::make_unique<TestClient>(server->httpPort());
        client->send("GET /v1/test/trust HTTP/1.1\r\n");
        return client;
    };
    ASSERT_TRUE(test::waitUntil([&] {
        slow.push_back(speaking());
        return test::closes(*slow.back(), 300ms);
    }));
    for (int i = 0; i < 5; ++i) {
        EXPECT_TRUE(test::closes(*speaking(), 2s));
    }
    // Every network loop accepts, so the loop that logs the first refusal may still be writing
    // its line while another has closed the rest.
    const auto limitLine = "warning: net: port " + std::to_string(server->httpPort()) +
                           " holds 404 connections, its limit; refusing new ones";
    ASSERT_TRUE(test::waitUntil([&] { return logs.has(limitLine); }));
    EXPECT_EQ(logs.count(limitLine), 1);
}

}  // namespace
}  // namespace kinetra::gateway
