// HttpSession over real sockets: requests, the WebSocket upgrade and frame exchange, the receive
// limit, and handlers that misbehave.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "net/http_response.hpp"
#include "net/http_session.hpp"
#include "net/listener_builder.hpp"
#include "net/tcp_service.hpp"
#include "test_client.hpp"

namespace kinetra::net {
namespace {

using test::clientFrame;
using test::Recorder;
using test::serverFrames;
using test::TestClient;
using test::upgradeRequest;

constexpr std::size_t kLimit = 8192;
const std::string kHandshake =
    "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: "
    "Upgrade\r\nSec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n";

std::string gatewayResponse(std::string body) {
    return HttpResponse()
        .addHeader("Access-Control-Allow-Origin", "*")
        .addHeader("Content-Type", "application/json")
        .addHeader("allow", "GET, POST, HEAD")
        .setBody(std::move(body))
        .toString();
}

struct HttpServer {
    explicit HttpServer(HttpSession::Handlers handlers, std::size_t limit = kLimit) {
        service->start(2);
        listener.withService(service)
            .withAddress("127.0.0.1", 0)
            .withReceiveLimit(limit)
            .withEnterCallback(HttpSession::enterCallback(std::move(handlers)));
        listener.start();
    }
    std::uint16_t port() const { return listener.port(); }
    std::shared_ptr<TcpService> service = std::make_shared<TcpService>();
    ListenerBuilder listener;
};

// Answers like the gateway: the path and body in the response, then shut down.
HttpSession::Handlers gatewayLike(Recorder<HttpRequest>& requests) {
    HttpSession::Handlers handlers;
    handlers.onRequest = [&requests](const HttpRequest& request, const HttpSession::Ptr& session) {
        requests.add(request);
        session->send(gatewayResponse(request.path + " " + request.body));
        session->shutdown();
    };
    handlers.oversizeResponse = gatewayResponse(R"({"result":"request too large"})");
    return handlers;
}

// An echo service on WebSocket that records what happens.
struct WsRecorders {
    Recorder<std::string> events;
    Recorder<HttpSession::Ptr> sessions;
};

HttpSession::Handlers webSocketEcho(WsRecorders& seen) {
    HttpSession::Handlers handlers;
    handlers.onRequest = [&seen](const HttpRequest& request, const HttpSession::Ptr& session) {
        seen.events.add("request " + request.path);
        session->send(gatewayResponse("{}"));
        session->shutdown();
    };
    handlers.onWsConnected = [&seen](const HttpSession::Ptr& session, const HttpRequest& upgrade) {
        seen.events.add("connected " + upgrade.path);
        seen.sessions.add(session);
    };
    handlers.onWsMessage = [&seen](const HttpSession::Ptr& session, HttpSession::FrameType type,
                                   const std::string& payload, const HttpRequest& upgrade) {
        seen.events.add("message " + upgrade.path + " " + payload);
        if (payload == "throw") {
            throw std::runtime_error("handler failure");
        }
        session->sendWebSocketText(type == HttpSession::FrameType::text ? "echo " + payload
                                                                        : "binary");
    };
    handlers.onWsClosed = [&seen](const HttpSession::Ptr&, const HttpRequest& upgrade) {
        seen.events.add("closed " + upgrade.path);
    };
    return handlers;
}

std::string requestOfSize(std::size_t total) {
    const std::string head = "POST /v1/device HTTP/1.1\r\nContent-Length: ";
    // Content-Length digits change the head size, so settle the body size in two steps.
    std::size_t body = total - head.size() - 4 - 4;
    std::string text = head + std::to_string(body) + "\r\n\r\n";
    body = total - text.size();
    text = head + std::to_string(body) + "\r\n\r\n";
    return text + std::string(total - text.size(), 'b');
}

TEST(HttpSession, AnswersARequestAndShutsDownAfterTheResponse) {
    Recorder<HttpRequest> requests;
    HttpServer server(gatewayLike(requests));
    TestClient client(server.port());
    client.send("POST /v1/bundle/AB12?x=1 HTTP/1.1\r\nContent-Length: 2\r\n\r\n{}");
    EXPECT_EQ(client.readToEnd(), gatewayResponse("/v1/bundle/AB12 {}"));
    EXPECT_TRUE(client.closedByServer());
}

TEST(HttpSession, HandlesKeepAliveRequestsInOrder) {
    HttpSession::Handlers handlers;
    handlers.onRequest = [](const HttpRequest& request, const HttpSession::Ptr& session) {
        session->send(gatewayResponse(request.path));
        if (!request.isKeepAlive) {
            session->shutdown();
        }
    };
    HttpServer server(std::move(handlers));
    TestClient client(server.port());
    client.send(
        "GET /one HTTP/1.1\r\nConnection: Keep-Alive\r\n\r\nGET /two HTTP/1.1\r\n"
        "Connection: Keep-Alive\r\n\r\n");
    client.readUntilContains("/two");
    client.send("GET /three HTTP/1.1\r\n\r\n");
    EXPECT_EQ(client.readToEnd(),
              gatewayResponse("/one") + gatewayResponse("/two") + gatewayResponse("/three"));
}

TEST(HttpSession, ShutsDownOnBytesThatAreNotHttp) {
    Recorder<HttpRequest> requests;
    HttpServer server(gatewayLike(requests));
    TestClient client(server.port());
    client.send(std::string("\x16\x03\x01\x02\x00 garbage\r\n\r\n", 17));
    EXPECT_EQ(client.readToEnd(), "");
    EXPECT_TRUE(client.closedByServer());
    EXPECT_TRUE(requests.items().empty());
}

TEST(HttpSession, AcceptsARequestAtTheLimitAndRefusesOneByteMore) {
    Recorder<HttpRequest> requests;
    HttpServer server(gatewayLike(requests));
    ASSERT_EQ(requestOfSize(kLimit).size(), kLimit);
    {
        TestClient client(server.port());
        client.send(requestOfSize(kLimit));
        EXPECT_EQ(client.readToEnd(),
                  gatewayResponse("/v1/device " + std::string(requests.waitFor(1).at(0).body)));
    }
    {
        // Far more than the limit: the answer still arrives whole, then the connection ends.
        TestClient client(server.port());
        client.send(requestOfSize(kLimit + 1));
        EXPECT_EQ(client.readToEnd(), gatewayResponse(R"({"result":"request too large"})"));
        EXPECT_TRUE(client.closedByServer());
    }
    {
        TestClient client(server.port());
        client.send(requestOfSize(64 * 1024));
        EXPECT_EQ(client.readToEnd(), gatewayResponse(R"({"result":"request too large"})"));
        EXPECT_TRUE(client.closedByServer());
    }
    EXPECT_EQ(requests.items().size(), 1U);
}

TEST(HttpSession, AnUnboundedLimitStillParses) {
    Recorder<HttpRequest> requests;
    HttpServer server(gatewayLike(requests), std::numeric_limits<std::size_t>::max());
    TestClient client(server.port());
    client.send(requestOfSize(3 * kLimit));
    EXPECT_EQ(client.readToEnd().find("HTTP/1.1 200 OK"), 0U);
}

TEST(HttpSession, OversizeAnswerDefaultsTo413) {
    HttpServer server(HttpSession::Handlers{});
    TestClient client(server.port());
    client.send(requestOfSize(kLimit * 2));
    EXPECT_EQ(client.readToEnd(),
              "HTTP/1.1 413 Payload Too Large\r\nConnection: close\r\nContent-Length: 0\r\n\r\n");
}

TEST(HttpSession, UpgradesOnlyToExactlyWebsocket) {
    WsRecorders seen;
    HttpServer server(webSocketEcho(seen));
    TestClient client(server.port());
    client.send(upgradeRequest("/v1/bundle/AB12/status", "WebSocket"));
    EXPECT_EQ(client.readToEnd(), gatewayResponse("{}"));
    EXPECT_EQ(seen.events.items(), std::vector<std::string>{"request /v1/bundle/AB12/status"});
}

TEST(HttpSession, ExchangesWebSocketMessagesAfterTheHandshake) {
    WsRecorders seen;
    HttpServer server(webSocketEcho(seen));
    TestClient client(server.port());
    // A fragmented message with a ping between its fragments, right behind the upgrade.
    client.send(upgradeRequest("/v1/bundle/AB12") + clientFrame(0x01, "hel") +
                clientFrame(0x89, "p") + clientFrame(0x80, "lo"));
    std::string received = client.readUntilContains("echo hello");
    ASSERT_EQ(received.substr(0, kHandshake.size()), kHandshake);
    auto frames = serverFrames(std::string_view(received).substr(kHandshake.size()));
    ASSERT_EQ(frames.size(), 2U);
    EXPECT_EQ(frames[0].firstByte, 0x8A);  // pong first: the ping came before the last fragment
    EXPECT_EQ(frames[0].payload, "p");
    EXPECT_EQ(frames[1].firstByte, 0x81);
    EXPECT_EQ(frames[1].payload, "echo hello");

    // A send from a thread outside the loop reaches the client too.
    const auto session = seen.sessions.waitFor(1).at(0);
    std::thread([session] { session->sendWebSocketText("from elsewhere"); }).join();
    client.readUntilContains("from elsewhere");

    client.send(clientFrame(0x88, "\x03\xE8"));
    received = client.readToEnd();
    EXPECT_TRUE(client.closedByServer());
    frames = serverFrames(std::string_view(received).substr(kHandshake.size()));
    ASSERT_EQ(frames.size(), 4U);
    EXPECT_EQ(frames[3].firstByte, 0x88);
    EXPECT_EQ(frames[3].payload, "\x03\xE8");  // the peer's status code, echoed
    EXPECT_EQ(seen.events.waitFor(3), (std::vector<std::string>{"connected /v1/bundle/AB12",
                                                                "message /v1/bundle/AB12 hello",
                                                                "closed /v1/bundle/AB12"}));
}

TEST(HttpSession, RefusesAnOversizeWebSocketMessageWithTextThenClose1009) {
    WsRecorders seen;
    HttpServer server(webSocketEcho(seen));
    for (const std::string& message :
         {clientFrame(0x81, std::string(kLimit + 1, 'm')),
          clientFrame(0x01, std::string(kLimit, 'm')) + clientFrame(0x80, "m")}) {
        TestClient client(server.port());
        client.send(upgradeRequest("/big"));
        client.readUntilContains("\r\n\r\n");
        client.send(message);
        const std::string received = client.readToEnd();
        EXPECT_TRUE(client.closedByServer());
        const auto frames = serverFrames(std::string_view(received).substr(kHandshake.size()));
        ASSERT_EQ(frames.size(), 2U);
        EXPECT_EQ(frames[0].firstByte, 0x81);
        EXPECT_EQ(frames[0].payload, R"({"result":"request too large"})");
        EXPECT_EQ(frames[1].firstByte, 0x88);
        EXPECT_EQ(frames[1].payload, std::string("\x03\xF1", 2));
    }
    // A message of exactly the limit is delivered.
    TestClient client(server.port());
    client.send(upgradeRequest("/big") + clientFrame(0x81, std::string(kLimit, 'k')));
    client.readUntilContains("echo kkk");
    for (const auto& event : seen.events.items()) {
        EXPECT_NE(event.size(), std::string("message /big ").size() + kLimit + 1) << "oversize";
    }
}

TEST(HttpSession, ClosesWith1002OnAnUnmaskedFrame) {
    WsRecorders seen;
    HttpServer server(webSocketEcho(seen));
    TestClient client(server.port());
    client.send(upgradeRequest("/raw") + std::string("\x81\x02hi", 4));
    const std::string received = client.readToEnd();
    EXPECT_TRUE(client.closedByServer());
    const auto frames = serverFrames(std::string_view(received).substr(kHandshake.size()));
    ASSERT_EQ(frames.size(), 1U);
    EXPECT_EQ(frames[0].payload, std::string("\x03\xEA", 2));
}

TEST(HttpSession, AHandlerThatThrowsClosesOnlyItsConnection) {
    WsRecorders seen;
    HttpServer server(webSocketEcho(seen));
    TestClient failing(server.port());
    failing.send(upgradeRequest("/a") + clientFrame(0x81, "throw"));
    failing.readToEnd();
    EXPECT_TRUE(failing.closedByServer());

    TestClient healthy(server.port());
    healthy.send(upgradeRequest("/b") + clientFrame(0x81, "still here"));
    EXPECT_NE(healthy.readUntilContains("echo still here").find("echo still here"),
              std::string::npos);
    const auto events = seen.events.waitFor(5);
    EXPECT_NE(std::find(events.begin(), events.end(), "closed /a"), events.end());
}

TEST(HttpSession, ReportsAClientThatVanishesAsClosed) {
    WsRecorders seen;
    HttpServer server(webSocketEcho(seen));
    {
        TestClient client(server.port());
        client.send(upgradeRequest("/gone"));
        seen.sessions.waitFor(1);
        client.reset();
    }
    EXPECT_EQ(seen.events.waitFor(2),
              (std::vector<std::string>{"connected /gone", "closed /gone"}));
}

}  // namespace
}  // namespace kinetra::net
