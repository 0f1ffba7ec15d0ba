// Request parsing on http_parser, fed the way a socket delivers bytes; then HttpSession over real
// sockets: requests in order, what it refuses and how, the WebSocket upgrade and frame exchange,
// and handlers or clients that fail. (The response text is checked byte for byte through the
// gateway.)
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "loopback_server.hpp"
#include "net/http_parser.hpp"
#include "net/http_session.hpp"
#include "test_client.hpp"

namespace kinetra::net {
namespace {

using test::clientFrame;
using test::Recorder;
using test::TestClient;

using Status = HTTPParser::Status;

TEST(HTTPParser, CollectsEveryPartOfARequestWhateverTheChunkingAndRefusesAUrlWithoutPath) {
    const std::string text =
        "POST /v1/bundle/AB12?verbose=1 HTTP/1.1\r\ncontent-TYPE:  application/json \r\n"
        "X-Tag: a\r\nx-tag: b\r\nContent-Length: 13\r\n\r\n{\"a\": [1, 2]}";
    for (std::size_t piece : {std::size_t{1}, std::size_t{7}, text.size()}) {
        HTTPParser parser;
        std::size_t at = 0;
        for (; at + piece < text.size(); at += piece) {
            ASSERT_EQ(parser.feed(std::string_view(text).substr(at, piece)).status,
                      Status::needMore);
        }
        ASSERT_EQ(parser.feed(std::string_view(text).substr(at)).status, Status::complete) << piece;
        const HttpRequest r = parser.takeRequest();
        EXPECT_EQ(r.method + " " + r.url + " " + r.path + " " + r.query + " " + r.body,
                  R"(POST /v1/bundle/AB12?verbose=1 /v1/bundle/AB12 verbose=1 {"a": [1, 2]})");
        // Header names in any case, values trimmed, a repeated field joined.
        EXPECT_EQ(std::tuple(r.header("Content-Type"), r.header("X-TAG"), r.header("Missing")),
                  std::tuple("application/json", "a, b", ""));
    }
    // Bytes that are not HTTP at all are refused through HttpSession; a URL without a path here.
    HTTPParser parser;
    testing::internal::CaptureStderr();
    EXPECT_EQ(parser.feed("GET http://example.com HTTP/1.1\r\n\r\n").status, Status::error);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "\n\n*** failed to parse PATH in URL http://example.com ***\n\n");
}

constexpr std::size_t kLimit = 8192;
const std::string kHandshake =
    "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: "
    "Upgrade\r\nSec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n";

// A POST of exactly `total` bytes; its body is the tail of 'b's.
std::string requestOfSize(std::size_t total) {
    const std::string head = "POST /v1/device HTTP/1.1\r\nContent-Length: ";
    // Content-Length digits change the head size, so settle the body size in two steps.
    std::string text = head + std::to_string(total - head.size() - 8) + "\r\n\r\n";
    text = head + std::to_string(total - text.size()) + "\r\n\r\n";
    return text + std::string(total - text.size(), 'b');
}

using Frames = std::vector<std::pair<int, std::string>>;

// Serves HTTP and WebSocket with handlers that answer with what they got and record it; a path
// under /refused is refused on its headers.
class HttpSessionTest : public ::testing::Test {
protected:
    std::uint16_t serve(std::size_t limit = kLimit, std::string oversize = "too large",
                        const std::function<void(HttpSession::Handlers&)>& adjust = {}) {
        HttpSession::Handlers handlers;
        handlers.onHeaders = [](const HttpRequest& head,
                                const HttpSession::Ptr&) -> std::optional<std::string> {
            if (head.path.starts_with("/refused")) {
                return "refused " + head.method + " " + head.path;
            }
            return std::nullopt;
        };
        handlers.onRequest = [](const HttpRequest& request, const HttpSession::Ptr& session) {
            session->send("<" + request.path + ":" + std::to_string(request.body.size()) + ">");
            if (!request.isKeepAlive) {
                session->shutdown();
            }
        };
        handlers.onWsConnected = [this](const HttpSession::Ptr& session, const HttpRequest& up) {
            events.add("connected " + up.path);
            sessions.add(session);
        };
        handlers.onWsMessage = [this](const HttpSession::Ptr& session, HttpSession::FrameType,
                                      const std::string& payload, const HttpRequest& up) {
            events.add("message " + up.path + " " + payload);
            if (payload == "throw") {
                throw std::runtime_error("handler failure");
            }
            session->sendWebSocketText("echo " + payload);
        };
        handlers.onWsClosed = [this](const HttpSession::Ptr&, const HttpRequest& up) {
            events.add("closed " + up.path);
        };
        handlers.oversizeResponse = std::move(oversize);
        if (adjust) {
            adjust(handlers);
        }
        server.reset();
        server.emplace(HttpSession::enterCallback(std::move(handlers)), 2, limit);
        return server->port();
    }
    // Every frame the server sends until it closes.
    static Frames framesToEnd(TestClient& client) {
        Frames frames;
        while (const auto frame = client.nextFrame()) {
            frames.emplace_back(frame->firstByte, frame->payload);
        }
        return frames;
    }

    Recorder<std::string> events;
    Recorder<HttpSession::Ptr> sessions;
    std::optional<test::LoopbackServer> server;  // last: stopped before the recorders go
};

TEST_F(HttpSessionTest, AnswersRequestsInOrderAndRefusesOrEndsWhatItCannotServe) {
    const std::string http413 =
        "HTTP/1.1 413 Payload Too Large\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
    const auto bodyOf = [](std::size_t total) {
        return std::to_string(total - requestOfSize(total).find("\r\n\r\n") - 4);
    };
    struct Case {
        const char* what;
        std::size_t limit;
        std::string oversize;
        std::string request;
        std::string answer;
    };
    const Case cases[] = {
        // Pipelined: answered in order, the connection ends only when the handler shuts it down.
        {"pipelined", kLimit, "",
         "POST /one?x=1 HTTP/1.1\r\nConnection: Keep-Alive\r\nContent-Length: 2\r\n\r\n{}"
         "GET /two HTTP/1.1\r\nConnection: Keep-Alive\r\n\r\nGET /three HTTP/1.1\r\n\r\n",
         "</one:2></two:0></three:0>"},
        {"not HTTP", kLimit, "too large", std::string("\x16\x03\x01\x02\x00 x\r\n\r\n", 11), ""},
        {"at the limit", kLimit, "", requestOfSize(kLimit), "</v1/device:" + bodyOf(kLimit) + ">"},
        {"a byte over", kLimit, "too large", requestOfSize(kLimit + 1), "too large"},
        {"far over", kLimit, "too large", requestOfSize(64 * 1024), "too large"},
        {"default answer", kLimit, "", requestOfSize(2 * kLimit), http413},
        // A limit at the top of size_t must not overflow the slice fed to the parser.
        {"unbounded", std::numeric_limits<std::size_t>::max(), "", requestOfSize(3 * kLimit),
         "</v1/device:" + bodyOf(3 * kLimit) + ">"},
        {"upgrade to another protocol", kLimit, "", test::upgradeRequest("/ws", "WebSocket"),
         "</ws:0>"},
        {"upgrade without a key", kLimit, "",
         "GET /ws HTTP/1.1\r\nUpgrade: websocket\r\n"
         "Connection: Upgrade\r\n\r\n",
         "HTTP/1.1 400 Bad Request\r\nConnection: close\r\nContent-Length: 0\r\n\r\n"},
        // Answered on the headers and closed: a body that never comes holds nothing.
        {"refused before its body", kLimit, "",
         "POST /refused HTTP/1.1\r\nContent-Length: 100\r\n\r\n", "refused POST /refused"},
        {"upgrade refused", kLimit, "", test::upgradeRequest("/refused/ws"),
         "refused GET /refused/ws"},
    };
    for (const auto& [what, limit, oversize, request, answer] : cases) {
        EXPECT_EQ(TestClient::exchange(serve(limit, oversize), request), answer) << what;
    }
}

TEST_F(HttpSessionTest, ExchangesWebSocketMessagesAfterTheHandshake) {
    TestClient client(serve());
    // A fragmented message with a ping between its fragments, right behind the upgrade.
    EXPECT_EQ(client.upgrade("/v1/bundle/AB12", clientFrame(0x01, "hel") + clientFrame(0x89, "p") +
                                                    clientFrame(0x80, "lo")),
              kHandshake);
    // Once the echo is under way, a send from a thread outside the loop is posted behind it.
    ASSERT_EQ(events.waitFor(2).size(), 2U);
    const auto session = sessions.waitFor(1).at(0);
    std::thread([session] { session->sendWebSocketText("from elsewhere"); }).join();
    // The pong first: the ping came before the last fragment. The peer's close is answered with
    // its status code echoed, then the server closes.
    client.send(clientFrame(0x88, "\x03\xE8"));
    EXPECT_EQ(
        framesToEnd(client),
        (Frames{{0x8A, "p"}, {0x81, "echo hello"}, {0x81, "from elsewhere"}, {0x88, "\x03\xE8"}}));
    EXPECT_TRUE(client.closedByServer());
    EXPECT_EQ(events.waitFor(3), (std::vector<std::string>{"connected /v1/bundle/AB12",
                                                           "message /v1/bundle/AB12 hello",
                                                           "closed /v1/bundle/AB12"}));
}

TEST_F(HttpSessionTest, EndsOnlyTheWebSocketThatBreaksTheRulesFailsOrVanishes) {
    const std::uint16_t port = serve();
    const Frames tooLarge{{0x81, R"({"result":"request too large"})"}, {0x88, "\x03\xF1"}};
    const std::pair<std::string, Frames> cases[] = {
        {clientFrame(0x81, std::string(kLimit + 1, 'm')), tooLarge},
        {clientFrame(0x01, std::string(kLimit, 'm')) + clientFrame(0x80, "m"), tooLarge},
        {std::string("\x81\x02hi", 4), {{0x88, "\x03\xEA"}}},   // unmasked: 1002
        {clientFrame(0x88, "\x03\xED"), {{0x88, "\x03\xEA"}}},  // 1005 is no wire code: 1002
        {clientFrame(0x81, "\xC3\x28"), {{0x88, "\x03\xEF"}}},  // not UTF-8: 1007
    };
    for (const auto& [message, frames] : cases) {
        TestClient client(port);
        client.upgrade("/big", message);
        EXPECT_EQ(framesToEnd(client), frames);
        EXPECT_TRUE(client.closedByServer());
    }
    // A message of exactly the limit is delivered (none of the above was: no echo came back).
    TestClient client(port);
    client.upgrade("/big", clientFrame(0x81, std::string(kLimit, 'k')));
    EXPECT_EQ(client.nextFrame().value_or(test::ServerFrame{}).payload,
              "echo " + std::string(kLimit, 'k'));

    // A failing handler or a vanished client ends only its own connection.
    const auto logged = [this](const std::string& event) {
        return events.waitUntil([&](const std::vector<std::string>& all) {
            return std::find(all.begin(), all.end(), event) != all.end();
        });
    };
    TestClient failing(port);
    failing.upgrade("/a", clientFrame(0x81, "throw"));
    failing.readToEnd();
    EXPECT_TRUE(failing.closedByServer());
    TestClient vanishing(port);
    vanishing.upgrade("/gone");
    ASSERT_TRUE(logged("connected /gone"));
    vanishing.reset();
    TestClient healthy(port);
    healthy.upgrade("/b", clientFrame(0x81, "still here"));
    EXPECT_EQ(healthy.nextFrame().value_or(test::ServerFrame{}).payload, "echo still here");
    EXPECT_TRUE(logged("closed /a"));
    EXPECT_TRUE(logged("closed /gone"));
}

// The header and body bounds: a client that never completes its headers, or its body, is
// closed; one that completes them in time is served, and the next request on a kept connection
// gets a bound of its own.
TEST_F(HttpSessionTest, ClosesOnlyConnectionsWhoseHeadersOrBodyDoNotCompleteInTime) {
    using namespace std::chrono_literals;
    const std::uint16_t port = serve(kLimit, "", [](HttpSession::Handlers& handlers) {
        handlers.headerTimeout = 300ms;
        handlers.bodyTimeout = 600ms;
    });
    TestClient silent(port);
    TestClient partial(port);
    partial.send("GET /x HTTP/1.1\r\nHost: lo");
    TestClient silentBody(port);
    silentBody.send("POST /x HTTP/1.1\r\nContent-Length: 4\r\n\r\nab");
    TestClient slowBody(port);
    slowBody.send("POST /x HTTP/1.1\r\nContent-Length: 4\r\n\r\nab");
    TestClient kept(port);
    kept.send("GET /x HTTP/1.1\r\nConnection: Keep-Alive\r\n\r\n");
    EXPECT_EQ(kept.readUntil([](const std::string& text) { return text.ends_with('>'); }),
              "</x:0>");
    slowBody.send("cd");
    EXPECT_EQ(slowBody.readToEnd(3s), "</x:4>");

    const auto start = std::chrono::steady_clock::now();
    for (TestClient* client : {&silent, &partial, &silentBody}) {
        EXPECT_EQ(client->readToEnd(3s), "");
        EXPECT_TRUE(client->closedByServer());
    }
    EXPECT_EQ(kept.readToEnd(3s), "</x:0>");  // idle after its answer: closed by its next bound
    EXPECT_TRUE(kept.closedByServer());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
}

// Keep-alive: a quiet client is pinged; one that answers stays, a silent one (a hung program,
// a vanished peer) is closed and its closed handler runs.
TEST_F(HttpSessionTest, PingsQuietWebSocketsAndClosesTheOnesThatStaySilent) {
    using namespace std::chrono_literals;
    const std::uint16_t port = serve(kLimit, "", [](HttpSession::Handlers& handlers) {
        handlers.pingInterval = 100ms;
        handlers.idleTimeout = 400ms;
    });
    TestClient silent(port);
    TestClient answering(port);
    ASSERT_EQ(silent.upgrade("/silent"), kHandshake);
    ASSERT_EQ(answering.upgrade("/answering"), kHandshake);
    for (int i = 0; i < 8; ++i) {  // about twice the idle bound
        const auto ping = answering.nextFrame(1s);
        ASSERT_TRUE(ping && ping->firstByte == 0x89);
        answering.send(clientFrame(0x8A, ping->payload));
    }
    EXPECT_EQ(framesToEnd(silent).at(0), (Frames::value_type{0x89, ""}));
    EXPECT_TRUE(silent.closedByServer());
    const auto all = events.waitFor(3);
    EXPECT_EQ(std::count(all.begin(), all.end(), "closed /silent"), 1);
    EXPECT_EQ(std::count(all.begin(), all.end(), "closed /answering"), 0);
}

}  // namespace
}  // namespace kinetra::net
