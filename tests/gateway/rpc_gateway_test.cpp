// The /v2 JSON-RPC endpoint over real sockets, a real bus and the real feed: the error codes,
// calls, status subscriptions whole and thinned by maxRate. (The links snapshot is the
// end-to-end tests'.)
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

#include "bus/feed.hpp"
#include "core/json.hpp"
#include "gateway/json_rpc.hpp"
#include "gateway/server.hpp"
#include "gateway_test_support.hpp"
#include "support/child_process.hpp"

namespace kinetra::gateway {
namespace {

using namespace std::chrono_literals;
using test::nextText;
using test::TestClient;

// The next frame as JSON (null when none came, or it was not JSON).
json nextJson(TestClient& client, std::chrono::milliseconds timeout = 5s) {
    const auto text = nextText(client, timeout);
    return text ? json::parse(*text, nullptr, false) : json();
}

json rpc(const std::string& method, const json& params, const json& id) {
    return {{"jsonrpc", "2.0"}, {"method", method}, {"params", params}, {"id", id}};
}

class RpcGatewayTest : public ::testing::Test {
protected:
    void SetUp() override {
        server.start(2);
        ASSERT_NE(server.webSocketPort(), 0);
    }
    std::unique_ptr<TestClient> connect() {
        auto client = std::make_unique<TestClient>(server.webSocketPort());
        EXPECT_TRUE(test::upgraded(*client, "/v2"));
        return client;
    }
    json exchange(TestClient& client, const json& request) {
        client.sendText(request.dump());
        return nextJson(client);
    }
    // A subscription travels to the feed's publishers on the bus's own time: publishes `body`
    // until the first notification shows at `client`, as a bundle keeps publishing.
    json firstNotification(TestClient& client, std::string_view topic, const std::string& body) {
        json first;
        for (int attempt = 0; attempt < 200 && first.is_null(); ++attempt) {
            bus::publish(publisher, topic, body);
            first = nextJson(client, 10ms);
        }
        return first;
    }

    test::LogCapture logs;
    Server server{test::kLoopback};
    zmq::socket_t publisher = bus::makeFeedPublisher(*bus::SocketRegistry::instance().context());
};

TEST_F(RpcGatewayTest, AnswersEveryRequestByItsIdOrWithTheErrorCodeAndAnOversizeOneBeforeTheClose) {
    test::FakeService service("inproc://v1/test/rpc", [](const std::string& request) {
        return R"({"got":)" + request + R"(,"result":"ok"})";
    });
    auto client = connect();
    const json objectId{{"k", json::array({1, "x"})}};
    const auto rpcFrame = [](const std::string& method, const std::string& params, const json& id) {
        return rpc(method, json::parse(params), id).dump();
    };
    struct Case {
        std::string frame;
        json id;
        int code;  // 0: a result, compared with `result`
        json result;
    };
    // The documented errors are sent by the reference's own walk; these are the rest.
    const std::vector<Case> cases{
        {R"([{"jsonrpc":"2.0","method":"call","id":1}])", nullptr, -32600, {}},
        {R"({"jsonrpc":"1.0","method":"call","id":7})", 7, -32600, {}},
        {R"({"jsonrpc":"2.0","method":5,"id":"s"})", "s", -32600, {}},
        {rpcFrame("call", "3", 8), 8, -32600, {}},
        {R"({"jsonrpc":"2.0","method":"fly","id":{"k":[1,"x"]}})", objectId, -32601, {}},
        {rpcFrame("call", "[1]", 10), 10, -32602, {}},
        {rpcFrame("subscribe", R"({"topic":"links","maxRate":0})", 13), 13, -32602, {}},
        // Calls: the reply object unchanged, offline for a path nobody announced.
        {R"({"jsonrpc":"2.0","method":"call","params":{"path":"/v1/test/rpc","request":)"
         R"({ "command" : "x" }},"id":[2]})",
         json::array({2}), 0, json{{"got", {{"command", "x"}}}, {"result", "ok"}}},
        {rpcFrame("call", R"({"path":"/v1/test/none"})", nullptr), nullptr, 0,
         json{{"result", "offline"}}},
        {rpcFrame("call", R"({"path":"/v1/test/rpc"})", 3.5), 3.5, 0,
         json{{"got", json::object()}, {"result", "ok"}}},
    };
    for (const auto& [frame, id, code, result] : cases) {
        client->sendText(frame);
        const json answer = nextJson(*client);
        ASSERT_TRUE(answer.is_object()) << frame;
        EXPECT_EQ(answer["jsonrpc"], "2.0") << frame;
        EXPECT_EQ(answer["id"], id) << frame;
        EXPECT_EQ(code == 0 ? answer["result"] : answer["error"]["code"],
                  code == 0 ? result : json(code))
            << frame << " -> " << answer;
    }
    // A notification (no id) is carried out but never answered: the next frame answers the
    // request after it.
    client->sendText(R"({"jsonrpc":"2.0","method":"call","params":{"path":"/v1/test/rpc"}})");
    EXPECT_EQ(exchange(*client, rpc("fly", {}, "after"))["id"], "after");
    EXPECT_EQ(service.requests.waitFor(3).size(), 3U);
    // One over the limit is answered as JSON-RPC, then the connection is closed (1009).
    client->sendText(std::string(Server::kReceiveLimit + 1, ' '));
    EXPECT_EQ(nextText(*client),
              rpc::errorText(nullptr, rpc::ErrorCode::invalidRequest, "request too large"));
    EXPECT_EQ(client->nextFrame().value_or(net::test::ServerFrame{}).payload, "\x03\xF1");
}

TEST_F(RpcGatewayTest, EverySubscriberOfAStatusGetsEveryMessageOrWithMaxRateTheNewest) {
    std::vector<std::unique_ptr<TestClient>> clients;
    for (int i = 0; i < 2; ++i) {
        clients.push_back(connect());
        const json subscribe = rpc("subscribe", {{"topic", "status"}, {"linkID", "KALL"}}, i);
        EXPECT_EQ(exchange(*clients.back(), subscribe)["result"]["subscription"], 1);
    }
    std::string topic = bus::statusTopic("KALL");
    ASSERT_TRUE(firstNotification(*clients[0], topic, R"({"n":-1})").is_object());
    for (auto& client : clients) {
        while (nextJson(*client, 50ms).is_object()) {  // what the warm-up left
        }
    }
    for (int n = 0; n < 20; ++n) {
        ASSERT_TRUE(bus::publish(publisher, topic, R"({"n":)" + std::to_string(n) + "}"));
        for (auto& client : clients) {
            EXPECT_EQ(nextJson(*client)["params"]["data"]["n"], n);
        }
    }

    // Thinned by maxRate to the newest messages.
    auto& client = clients[0];
    const json thinned =
        rpc("subscribe", {{"topic", "status"}, {"linkID", "KRATE"}, {"maxRate", 10}}, 1);
    EXPECT_EQ(exchange(*client, thinned)["result"]["subscription"], 2);
    topic = bus::statusTopic("KRATE");
    ASSERT_EQ(
        firstNotification(*client, topic, R"({"n":-1})"),
        (json{{"jsonrpc", "2.0"},
              {"method", "status"},
              {"params", {{"data", {{"n", -1}}}, {"linkID", "KRATE"}, {"subscription", 2}}}}));
    // 500 messages a second for 600 ms; at 10 a second about 6 get through, the last of them
    // the last one published.
    const auto started = std::chrono::steady_clock::now();
    int n = 0;
    while (std::chrono::steady_clock::now() - started < 600ms) {
        bus::publish(publisher, topic, R"({"n":)" + std::to_string(n++) + "}");
        std::this_thread::sleep_for(2ms);  // the pace of a publisher, not a wait for an event
    }
    std::vector<int> received;
    for (json notification = nextJson(*client, 300ms); notification.is_object();
         notification = nextJson(*client, 300ms)) {
        received.push_back(notification["params"]["data"]["n"].get<int>());
    }
    const auto elapsed = std::chrono::steady_clock::now() - started;
    ASSERT_FALSE(received.empty());
    EXPECT_EQ(received.back(), n - 1);
    EXPECT_LE(received.size(),
              static_cast<std::size_t>(std::chrono::duration<double>(elapsed).count() * 10) + 2);
    EXPECT_GE(received.size(), 3U);
    EXPECT_TRUE(std::is_sorted(received.begin(), received.end()));

    EXPECT_EQ(exchange(*client, rpc("unsubscribe", {{"subscription", 2}}, 5))["result"], true);
    bus::publish(publisher, topic, R"({"n":0})");
    EXPECT_FALSE(nextText(*client, 200ms).has_value());
}

// A client that calls and never reads: once a megabyte of its answers waits unsent, they are
// dropped and it is closed with 1008; the server's memory stays flat meanwhile.
TEST_F(RpcGatewayTest, AClientThatNeverReadsIsClosedWith1008BeforeItsAnswersPileUp) {
    const std::string answer = R"({"data":")" + std::string(64 * 1024, 'x') + R"("})";
    test::FakeService service("inproc://v1/test/flood", [&](const std::string&) { return answer; });
    auto client = connect();
    const std::string call = rpc("call", {{"path", "/v1/test/flood"}}, 1).dump();
    const std::string closing = "warning: net: WebSocket client 127.0.0.1:";
    [[maybe_unused]] const auto before = testing::residentKilobytes(::getpid());
    // In rounds the service keeps up with, until the socket buffers (some megabytes) are full
    // and the server's own queue passes its bound.
    std::size_t sent = 0;
    while (!logs.has(closing) && sent < 4000) {
        for (int i = 0; i < 32; ++i, ++sent) {
            client->sendText(call);
        }
        service.requests.waitFor(sent, 2s);
    }
    ASSERT_TRUE(logs.has(closing)) << sent;
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)  // their allocators hold
    // freed memory resident (ASan's quarantine, TSan's caches)
    EXPECT_LT(testing::residentKilobytes(::getpid()), before + 10 * 1024);
#endif
    // What the socket buffers held arrives, then the close frame, then the end.
    EXPECT_TRUE(
        client->readToEnd(10s).ends_with(std::string("\x88\x11\x03\xF0", 4) + "frames not read"));
    EXPECT_TRUE(client->closedByServer());
}

}  // namespace
}  // namespace kinetra::gateway
