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
#include "net/http_response.hpp"
#include "net/http_session.hpp"
#include "support/wait.hpp"
#include "test_client.hpp"

namespace kinetra::net {
namespace {

using test::clientFrame;
using test::Recorder;
using test::TestClient;

using Status = HTTPParser::Status;
using namespace std::chrono_literals;

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
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(parser.feed("GET http://example.com HTTP/1.1\r\n\r\n").status, Status::error);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "\n\n*** failed to parse PATH in URL http://example.com ***\n\n");
}

constexpr std::size_t kLimit = 8192;
const std::string kHandshake =
    "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: "
    "Upgrade\r\nSec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n";
const std::string kBadRequest =
    "HTTP/1.1 400 Bad Request\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";

// A POST of exactly `total` bytes; its body is the tail of 'b's.
std::string requestOfSize(std::size_t total) {
    const std::string head = "POST /v1/device HTTP/1.1\r\nContent-Length: ";
    // Content-Length digits change the head size, so settle the body size in two steps.
    std::string text = head + std::to_string(total - head.size() - 8) + "\r\n\r\n";
    text = head + std::to_string(total - text.size()) + "\r\n\r\n";
    return text + std::string(total - text.size(), 'b');
}

// The test handler's answer to a request for `path` with `body` bytes, with the Connection
// header `connection` (none when empty) where the session is to put it.
std::string answer(const std::string& path, std::size_t body = 0,
                   const std::string& connection = "") {
    HttpResponse response;
    if (!connection.empty()) {
        response.addHeader("Connection", connection);
    }
    return response.setBody("<" + path + ":" + std::to_string(body) + ">").toString();
}

std::string get(const std::string& path, const std::string& more = "") {
    return "GET " + path + " HTTP/1.1\r\n" + more + "\r\n";
}

using Frames = std::vector<std::pair<int, std::string>>;

// Serves HTTP and WebSocket with handlers that answer with what they got and record it; a path
// under /refused is refused on its headers, one under /held is answered by the test.
class HttpSessionTest : public ::testing::Test {
protected:
    std::uint16_t serve(std::size_t limit = kLimit, std::string oversize = "",
                        const std::function<void(HttpSession::Handlers&)>& adjust = {}) {
        HttpSession::Handlers handlers;
        handlers.onHeaders = [](const HttpRequest& head,
                                const HttpSession::Ptr&) -> std::optional<std::string> {
            if (head.path.starts_with("/refused")) {
                return HttpResponse().setStatus(HttpStatus::forbidden).setBody("").toString();
            }
            return std::nullopt;
        };
        handlers.onRequest = [this](const HttpRequest& request, const HttpSession::Ptr& session) {
            if (request.path.starts_with("/held")) {
                held.add(session);
                return;
            }
            session->respond(answer(request.path, request.body.size()));
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
    Recorder<HttpSession::Ptr> held;             // sessions whose request waits for the test
    std::optional<test::LoopbackServer> server;  // last: stopped before the recorders go
};

// Everything one connection gets, in order, until the server closes it: whether it stays for
// the next request, says when it closes, and what it refuses.
TEST_F(HttpSessionTest, AnswersRequestsInOrderAndClosesSayingSoWhenItMust) {
    const std::string http413 =
        "HTTP/1.1 413 Payload Too Large\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
    const std::string forbidden =
        "HTTP/1.1 403 Forbidden\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
    const auto bodyOf = [](std::size_t total) {
        return total - requestOfSize(total).find("\r\n\r\n") - 4;
    };
    const std::size_t unbounded = std::numeric_limits<std::size_t>::max();
    enum class Ends { byServer, byClient, whenQuiet };
    struct Case {
        const char* what;
        std::size_t limit;
        std::string oversize;  // without a Connection header: the session adds it
        std::chrono::milliseconds keepAlive;
        std::string request;
        std::string answers;  // kept connections end by the keep-alive bound, without an answer
        // Who ends it. The client asked, so it sends nothing more: the server closes as soon
        // as its answer is written. The server chose to, with an answer: it waits for the
        // client's close (here: held open), so that the client reads the answer rather than a
        // reset. A quiet kept connection is closed at once.
        Ends ends = Ends::byServer;
    };
    const Case cases[] = {
        {"pipelined, the third asks to close", kLimit, "", 100ms,
         "POST /one?x=1 HTTP/1.1\r\nContent-Length: 2\r\n\r\n{}" + get("/two") +
             get("/three", "Connection: keep-alive, Close\r\n") + get("/four"),
         answer("/one", 2) + answer("/two") + answer("/three", 0, "close"), Ends::byClient},
        {"HTTP/1.0 kept only when it asks", kLimit, "", 100ms,
         "GET /a HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\nGET /b HTTP/1.0\r\n\r\n" + get("/c"),
         answer("/a", 0, "keep-alive") + answer("/b", 0, "close"), Ends::byClient},
        {"keep-alive off", kLimit, "", 0ms, get("/one") + get("/two"), answer("/one", 0, "close")},
        {"a bad request behind a good one", kLimit, "", 100ms,
         get("/x") + "GET /y HTTP/1.1\r\nBad Header\r\n\r\n" + get("/z"),
         answer("/x") + kBadRequest},
        {"not HTTP", kLimit, "", 100ms, std::string("\x16\x03\x01\x02\x00 x\r\n\r\n", 11),
         kBadRequest},
        {"at the limit", kLimit, "", 100ms, requestOfSize(kLimit),
         answer("/v1/device", bodyOf(kLimit)), Ends::whenQuiet},
        {"a byte over", kLimit, "HTTP/1.1 413 Payload Too Large\r\nContent-Length: 0\r\n\r\n",
         100ms, requestOfSize(kLimit + 1), http413},
        {"far over, the default answer", kLimit, "", 100ms,
         get("/first") + requestOfSize(64 * 1024), answer("/first") + http413},
        // A limit at the top of size_t must not overflow the slice fed to the parser.
        {"unbounded", unbounded, "", 100ms, requestOfSize(3 * kLimit),
         answer("/v1/device", bodyOf(3 * kLimit)), Ends::whenQuiet},
        {"upgrade to another protocol", kLimit, "", 100ms, test::upgradeRequest("/ws", "WebSocket"),
         answer("/ws", 0, "close")},
        {"upgrade without a key", kLimit, "", 100ms,
         get("/ws", "Upgrade: websocket\r\nConnection: Upgrade\r\n"), kBadRequest},
        // Answered on the headers and closed: a body that never comes holds nothing.
        {"refused before its body", kLimit, "", 100ms,
         "POST /refused HTTP/1.1\r\nContent-Length: 100\r\n\r\n", forbidden},
        {"upgrade refused", kLimit, "", 100ms, test::upgradeRequest("/refused/ws"), forbidden},
    };
    for (const auto& [what, limit, oversize, keepAlive, request, answers, ends] : cases) {
        TestClient client(serve(limit, oversize, [keepAlive](HttpSession::Handlers& handlers) {
            handlers.keepAliveTimeout = keepAlive;
        }));
        client.send(request);
        EXPECT_EQ(client.readToEnd(3s), answers) << what;
        EXPECT_TRUE(client.closedByServer()) << what;
        const auto& listener = server->listener;
        if (ends == Ends::byClient) {
            EXPECT_TRUE(kinetra::testing::waitUntil([&] {
                return listener.connectionCount() == 0;
            })) << what;
        } else if (ends == Ends::byServer) {
            EXPECT_EQ(listener.connectionCount(), 1U) << what;
        }
    }
}

TEST_F(HttpSessionTest, KeepsAConnectionUpToTheLimitAndAWaitingAnswerHoldsOnlyItsOwn) {
    const std::uint16_t port = serve();
    // A client that reuses its connection, one request after the other.
    TestClient reusing(port);
    for (int i = 0; i < 10; ++i) {
        reusing.send(get("/r" + std::to_string(i)));
        EXPECT_EQ(reusing.nextResponse(), answer("/r" + std::to_string(i)));
    }
    EXPECT_FALSE(reusing.closedByServer());
    // A client far ahead of its answers: it waits in TCP's flow control while the session works
    // through its requests; the 1,000th answer is the last and says so.
    TestClient eager(port);
    std::string requests;
    std::string answers;
    for (std::size_t i = 1; i <= HttpSession::kDefaultMaxRequests + 1; ++i) {
        requests += get("/p" + std::to_string(i));
        if (i <= HttpSession::kDefaultMaxRequests) {
            answers += answer("/p" + std::to_string(i), 0,
                              i == HttpSession::kDefaultMaxRequests ? "close" : "");
        }
    }
    eager.send(requests);
    EXPECT_EQ(eager.readToEnd(), answers);
    EXPECT_TRUE(eager.closedByServer());

    // A request whose answer waits holds up its own connection (the requests behind it wait, in
    // order, more of them than the receive limit holds) and no other; an answer from another
    // thread goes out on the connection's loop.
    TestClient waiting(port);
    std::string behind;
    answers = answer("/held");
    for (int i = 0; behind.size() < 2 * kLimit; ++i) {
        behind += get("/b" + std::to_string(i));
        answers += answer("/b" + std::to_string(i));
    }
    waiting.send(get("/held") + behind);
    const auto session = held.waitFor(1).at(0);
    TestClient other(port);  // a fresh one: the reusing client's may have ended, quiet for long
    other.send(get("/other"));
    EXPECT_EQ(other.nextResponse(), answer("/other"));
    EXPECT_EQ(waiting.nextResponse(200ms), std::nullopt);
    std::thread([session] { session->respond(answer("/held")); }).join();
    EXPECT_EQ(
        waiting.readUntil([&](const std::string& all) { return all.size() >= answers.size(); }),
        answers);
}

TEST_F(HttpSessionTest, ExchangesWebSocketMessagesAndEndsOnlyTheOneThatBreaksTheRulesOrFails) {
    const std::uint16_t port = serve();
    TestClient client(port);
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

    // What ends a WebSocket ends only that one.
    const Frames tooLarge{{0x81, R"({"result":"request too large"})"}, {0x88, "\x03\xF1"}};
    const std::pair<std::string, Frames> cases[] = {
        {clientFrame(0x81, std::string(kLimit + 1, 'm')), tooLarge},
        {clientFrame(0x01, std::string(kLimit, 'm')) + clientFrame(0x80, "m"), tooLarge},
        {std::string("\x81\x02hi", 4), {{0x88, "\x03\xEA"}}},   // unmasked: 1002
        {clientFrame(0x88, "\x03\xED"), {{0x88, "\x03\xEA"}}},  // 1005 is no wire code: 1002
        {clientFrame(0x81, "\xC3\x28"), {{0x88, "\x03\xEF"}}},  // not UTF-8: 1007
    };
    for (const auto& [message, frames] : cases) {
        TestClient broken(port);
        broken.upgrade("/big", message);
        EXPECT_EQ(framesToEnd(broken), frames);
        EXPECT_TRUE(broken.closedByServer());
    }
    // A message of exactly the limit is delivered (none of the above was: no echo came back).
    TestClient atLimit(port);
    atLimit.upgrade("/big", clientFrame(0x81, std::string(kLimit, 'k')));
    EXPECT_EQ(atLimit.nextFrame().value_or(test::ServerFrame{}).payload,
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

// The header, body and keep-alive bounds: a client that never completes its headers, or its
// body, or sends no next request on a kept connection, is closed without an answer; one that
// completes them in time is served. Then the WebSocket's keep-alive, none of those bounds
// applying to it: a quiet client is pinged; one that answers stays, a silent one (a hung
// program, a vanished peer) is closed and its closed handler runs.
TEST_F(HttpSessionTest, ClosesOnlyConnectionsAndWebSocketsThatDoNotSendInTime) {
    const std::uint16_t port = serve(kLimit, "", [](HttpSession::Handlers& handlers) {
        handlers.headerTimeout = 300ms;
        handlers.bodyTimeout = 600ms;
        handlers.keepAliveTimeout = 300ms;
        handlers.pingInterval = 100ms;
        handlers.idleTimeout = 400ms;
    });
    TestClient silent(port);
    TestClient partial(port);
    partial.send("GET /x HTTP/1.1\r\nHost: lo");
    TestClient silentBody(port);
    silentBody.send("POST /x HTTP/1.1\r\nContent-Length: 4\r\n\r\nab");
    TestClient slowBody(port);
    slowBody.send("POST /x HTTP/1.1\r\nContent-Length: 4\r\n\r\nab");
    TestClient kept(port);
    kept.send(get("/x"));
    EXPECT_EQ(kept.nextResponse(), answer("/x"));
    slowBody.send("cd");
    EXPECT_EQ(slowBody.nextResponse(), answer("/x", 4));
    // Back within the keep-alive bound: served again.
    std::this_thread::sleep_for(150ms);
    kept.send(get("/y"));
    EXPECT_EQ(kept.nextResponse(), answer("/y"));

    const auto start = std::chrono::steady_clock::now();
    for (TestClient* client : {&silent, &partial, &silentBody}) {
        EXPECT_EQ(client->readToEnd(3s), "");
        EXPECT_TRUE(client->closedByServer());
    }
    for (TestClient* client : {&kept, &slowBody}) {
        EXPECT_EQ(client->nextResponse(3s), std::nullopt);
        EXPECT_TRUE(client->closedByServer());
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);

    TestClient silentSocket(port);
    TestClient answering(port);
    ASSERT_EQ(silentSocket.upgrade("/silent"), kHandshake);
    ASSERT_EQ(answering.upgrade("/answering"), kHandshake);
    for (int i = 0; i < 8; ++i) {  // about twice the idle bound
        const auto ping = answering.nextFrame(1s);
        ASSERT_TRUE(ping && ping->firstByte == 0x89);
        answering.send(clientFrame(0x8A, ping->payload));
    }
    EXPECT_EQ(framesToEnd(silentSocket).at(0), (Frames::value_type{0x89, ""}));
    EXPECT_TRUE(silentSocket.closedByServer());
    const auto all = events.waitFor(3);
    EXPECT_EQ(std::count(all.begin(), all.end(), "closed /silent"), 1);
    EXPECT_EQ(std::count(all.begin(), all.end(), "closed /answering"), 0);
}

}  // namespace
}  // namespace kinetra::net
