// The HTTP side of the gateway over real sockets and a real bus: forwarding, the failure
// replies, the one response form and the receive limit.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bus/announce.hpp"
#include "gateway/server.hpp"
#include "gateway_test_support.hpp"

namespace kinetra::gateway {
namespace {

using namespace std::chrono_literals;
using test::expectedResponse;
using test::FakeService;
using test::httpExchange;
using test::httpRequest;

config::ServerSettings loopbackSettings() {
    return {"127.0.0.1", "0", "127.0.0.1", "0", "127.0.0.1", "0"};
}

// One worker: every request runs on the same thread, so each one meets the socket the
// previous request to its endpoint left behind.
class HttpGateway : public ::testing::Test {
protected:
    void SetUp() override {
        server.start(1);
        ASSERT_NE(server.httpPort(), 0);
    }
    test::HttpAnswer exchange(const std::string& request) {
        return httpExchange(server.httpPort(), request);
    }

    test::LogCapture logs;
    Server server{loopbackSettings()};
};

TEST_F(HttpGateway, ForwardsTheBodyCompactlyAndAnswersWithTheReplyTextUnchanged) {
    // The reply keeps its member order and spacing: the gateway does not parse it again.
    const std::string reply = R"({"result": "ok", "data":{"b":1,"a":2}})";
    FakeService service("inproc://v1/test/forward", [&](const std::string&) { return reply; });

    const auto answer = exchange(httpRequest(
        "POST", "/v1/test/forward", "{ \"command\" :\t\"move\",\r\n  \"pan\": [ 1, 2 ] }\n"));

    EXPECT_EQ(answer.raw, expectedResponse(reply));
    EXPECT_TRUE(answer.closedByServer);  // one request per connection
    EXPECT_EQ(service.requests(), std::vector<std::string>{R"({"command":"move","pan":[1,2]})"});
}

TEST_F(HttpGateway, SendsAnEmptyObjectForAnEmptyBodyWhateverTheMethodAndIgnoresTheQuery) {
    FakeService service("inproc://v1/test/methods",
                        [](const std::string&) { return std::string(R"({"result":"ok"})"); });
    const std::vector<std::string> methods{"GET", "POST", "PUT", "DELETE", "OPTIONS", "PATCH"};
    for (const auto& method : methods) {
        const auto answer = exchange(httpRequest(method, "/v1/test/methods?pan=1&tilt=2"));
        EXPECT_EQ(answer.raw, expectedResponse(R"({"result":"ok"})")) << method;
    }
    EXPECT_EQ(service.requests(), std::vector<std::string>(methods.size(), "{}"));
}

TEST_F(HttpGateway, AnswersOfflineForAnEndpointThatIsNotAnnounced) {
    // Bound but never announced, like the configuration service: it must see no request.
    FakeService hidden(
        "inproc://v1/test/hidden", [](const std::string&) { return std::string("{}"); }, false);

    for (const std::string path : {"/v1/test/hidden", "/v1/test/nobody", "/"}) {
        const auto answer = exchange(httpRequest("GET", path));
        EXPECT_EQ(answer.raw, expectedResponse(R"({"result":"offline"})")) << path;
        EXPECT_TRUE(logs.has("warning", "inproc:/" + path + " is offline.")) << logs.all();
    }
    EXPECT_TRUE(hidden.requests().empty());
}

TEST_F(HttpGateway, AnswersOfflineWhenTheServiceClosesWhileTheRequestWaits) {
    FakeService service("inproc://v1/test/closing", [](const std::string&) {
        // The service goes away instead of answering.
        const std::array<std::string, 1> names{"inproc://v1/test/closing"};
        bus::announceClosed(names);
        return std::optional<std::string>();
    });

    const auto started = std::chrono::steady_clock::now();
    const auto answer = exchange(httpRequest("POST", "/v1/test/closing", R"({"command":"x"})"));

    EXPECT_EQ(answer.raw, expectedResponse(R"({"result":"offline"})"));
    // Noticed between tries, well before the one-second bound on the reply.
    EXPECT_LT(std::chrono::steady_clock::now() - started, 900ms);
    EXPECT_TRUE(logs.has("warning", "inproc://v1/test/closing is offline.")) << logs.all();
}

TEST_F(HttpGateway, AnswersAnEmptyBodyAfterTheBoundAndDropsTheLateReply) {
    test::Gate answered;
    int count = 0;
    FakeService service("inproc://v1/test/slow", [&](const std::string&) {
        if (++count == 1) {
            // Answer only after the gateway has given up on this request.
            EXPECT_TRUE(answered.waitOpen());
            return std::string(R"({"late":true})");
        }
        return std::string(R"({"result":"ok"})");
    });

    const auto started = std::chrono::steady_clock::now();
    const auto first = exchange(httpRequest("GET", "/v1/test/slow"));
    const auto waited = std::chrono::steady_clock::now() - started;
    answered.open();
    const auto second = exchange(httpRequest("GET", "/v1/test/slow"));

    EXPECT_EQ(first.raw, expectedResponse(""));  // Content-Length: 0
    EXPECT_GE(waited, 950ms);                    // 200 tries 5 ms apart
    EXPECT_EQ(second.body, R"({"result":"ok"})");
}

TEST_F(HttpGateway, AnswersInvalidPathForABodyThatIsNotJson) {
    FakeService service("inproc://v1/test/json", [](const std::string& request) {
        return std::optional<std::string>(request);
    });
    for (const std::string body : {"{not json", "[1,2", "{} {}", "\xff\xfe"}) {
        const auto answer = exchange(httpRequest("POST", "/v1/test/json", body));
        EXPECT_EQ(answer.raw, expectedResponse(R"({"result":"invalid path"})")) << body;
    }
    EXPECT_TRUE(logs.hasPart("warning", "parse error")) << logs.all();
    EXPECT_TRUE(service.requests().empty());

    // Deep nesting within the receive limit is still JSON and is forwarded, not a crash.
    const std::string deep = std::string(3000, '[') + std::string(3000, ']');
    EXPECT_EQ(exchange(httpRequest("POST", "/v1/test/json", deep)).body, deep);
}

TEST_F(HttpGateway, AnswersTooLargeForARequestOverTheReceiveLimit) {
    FakeService service("inproc://v1/test/large",
                        [](const std::string&) { return std::string(R"({"result":"ok"})"); });
    const std::string body = R"({"pad":")" + std::string(9000, 'x') + R"("})";

    const auto answer = exchange(httpRequest("POST", "/v1/test/large", body));

    EXPECT_EQ(answer.raw, expectedResponse(R"({"result":"request too large"})"));
    EXPECT_TRUE(answer.closedByServer);
    EXPECT_TRUE(service.requests().empty());
}

TEST_F(HttpGateway, ReachesAServiceAgainAfterItRestarts) {
    // The endpoint is closed and bound anew, as when a link comes back, with no request in
    // between: the socket kept from before has lost its peer for good (inproc does not
    // reconnect), and the request must not fail on it.
    const auto answer = [](std::string text) {
        return [text](const std::string&) { return std::optional(text); };
    };
    {
        FakeService first("inproc://v1/test/restart", answer(R"({"n":1})"));
        EXPECT_EQ(exchange(httpRequest("GET", "/v1/test/restart")).body, R"({"n":1})");
    }
    FakeService second("inproc://v1/test/restart", answer(R"({"n":2})"));
    EXPECT_EQ(exchange(httpRequest("GET", "/v1/test/restart")).body, R"({"n":2})");
    EXPECT_EQ(exchange(httpRequest("GET", "/v1/test/restart")).body, R"({"n":2})");
}

TEST(HttpGatewayConcurrency, KeepsConcurrentRequestsApart) {
    // Several workers, many clients at once: every reply reaches the client that asked.
    Server server(loopbackSettings());
    server.start(2);
    FakeService service("inproc://v1/test/echo",
                        [](const std::string& request) { return std::optional(request); });
    constexpr int kClients = 6;
    constexpr int kRequests = 15;
    std::atomic<int> mismatches{0};
    std::vector<std::jthread> clients;
    for (int client = 0; client < kClients; ++client) {
        clients.emplace_back([&, client] {
            for (int i = 0; i < kRequests; ++i) {
                const std::string body =
                    R"({"client":)" + std::to_string(client) + R"(,"i":)" + std::to_string(i) + "}";
                if (httpExchange(server.httpPort(), httpRequest("POST", "/v1/test/echo", body))
                        .body != body) {
                    ++mismatches;
                }
            }
        });
    }
    clients.clear();
    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_EQ(service.requests().size(), static_cast<std::size_t>(kClients * kRequests));
}

}  // namespace
}  // namespace kinetra::gateway
