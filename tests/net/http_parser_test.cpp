// Request parsing on http_parser and response text, fed the way a socket delivers bytes.
#include <gtest/gtest.h>

#include <string>

#include "net/http_parser.hpp"
#include "net/http_response.hpp"

namespace kinetra::net {
namespace {

using Status = HTTPParser::Status;

// Feeds `text` in pieces of `piece` bytes; returns the first completed request.
HttpRequest parseInPieces(const std::string& text, std::size_t piece) {
    HTTPParser parser;
    for (std::size_t at = 0; at < text.size(); at += piece) {
        const auto result = parser.feed(std::string_view(text).substr(at, piece));
        if (result.status == Status::complete) {
            return parser.takeRequest();
        }
        EXPECT_EQ(result.status, Status::needMore) << "at byte " << at;
    }
    ADD_FAILURE() << "request never completed";
    return {};
}

TEST(HTTPParser, SplitsPathFromQueryAndCollectsBodyWhateverTheChunking) {
    const std::string text =
        "POST /v1/bundle/AB12?verbose=1 HTTP/1.1\r\nHost: x\r\nContent-Length: 13\r\n\r\n"
        "{\"a\": [1, 2]}";
    for (std::size_t piece : {std::size_t{1}, std::size_t{7}, text.size()}) {
        const HttpRequest request = parseInPieces(text, piece);
        EXPECT_EQ(request.method, "POST");
        EXPECT_EQ(request.url, "/v1/bundle/AB12?verbose=1");
        EXPECT_EQ(request.path, "/v1/bundle/AB12");
        EXPECT_EQ(request.query, "verbose=1");
        EXPECT_EQ(request.body, "{\"a\": [1, 2]}");
        EXPECT_FALSE(request.isWebSocketUpgrade);
    }
}

TEST(HTTPParser, FindsHeadersWhateverTheirCaseAndTrimsValues) {
    const HttpRequest request = parseInPieces(
        "GET / HTTP/1.1\r\ncontent-TYPE:  application/json \r\nX-Tag: a\r\nx-tag: b\r\n\r\n", 3);
    EXPECT_EQ(request.header("Content-Type"), "application/json");
    EXPECT_EQ(request.header("X-TAG"), "a, b");
    EXPECT_EQ(request.header("Missing"), "");
}

TEST(HTTPParser, KeepAliveOnlyWhenConnectionIsExactlyKeepAlive) {
    const std::pair<const char*, bool> cases[] = {
        {"Connection: Keep-Alive\r\n", true},
        {"Connection: keep-alive\r\n", false},
        {"Connection: close\r\n", false},
        {"", false},
    };
    for (const auto& [header, expected] : cases) {
        const auto request =
            parseInPieces(std::string("GET / HTTP/1.1\r\n") + header + "\r\n", 1000);
        EXPECT_EQ(request.isKeepAlive, expected) << header;
    }
}

TEST(HTTPParser, WebSocketUpgradeOnlyWhenUpgradeIsExactlyWebsocket) {
    const std::string start = "GET /v1/bundle/AB12/status HTTP/1.1\r\n";
    {
        HTTPParser parser;
        const std::string text = start + "Connection: Upgrade\r\nUpgrade: websocket\r\n\r\n";
        ASSERT_EQ(parser.feed(text).status, Status::complete);
        EXPECT_TRUE(parser.switchesProtocol());
        EXPECT_TRUE(parser.takeRequest().isWebSocketUpgrade);
    }
    {
        HTTPParser parser;
        const std::string text = start + "Connection: Upgrade\r\nUpgrade: WebSocket\r\n\r\n";
        ASSERT_EQ(parser.feed(text).status, Status::complete);
        EXPECT_TRUE(parser.switchesProtocol());  // an upgrade, but not to our protocol
        EXPECT_FALSE(parser.takeRequest().isWebSocketUpgrade);
    }
    {
        HTTPParser parser;  // without Connection: Upgrade nothing is upgraded
        ASSERT_EQ(parser.feed(start + "Upgrade: websocket\r\n\r\n").status, Status::complete);
        EXPECT_FALSE(parser.takeRequest().isWebSocketUpgrade);
    }
}

TEST(HTTPParser, StopsAtTheEndOfEachRequest) {
    const std::string first = "GET /a HTTP/1.1\r\nConnection: Keep-Alive\r\n\r\n";
    const std::string second = "POST /b HTTP/1.1\r\nContent-Length: 2\r\n\r\nhi";
    const std::string frames = "\x81\x85\x37\xfa\x21\x3d";  // bytes of another protocol
    const std::string upgrade =
        "GET /ws HTTP/1.1\r\nConnection: Upgrade\r\nUpgrade: websocket\r\n\r\n";

    HTTPParser parser;
    const std::string text = first + second;
    auto result = parser.feed(text);
    ASSERT_EQ(result.status, Status::complete);
    EXPECT_EQ(result.consumed, first.size());
    EXPECT_EQ(parser.takeRequest().path, "/a");
    result = parser.feed(std::string_view(text).substr(result.consumed));
    ASSERT_EQ(result.status, Status::complete);
    EXPECT_EQ(result.consumed, second.size());
    EXPECT_EQ(parser.takeRequest().body, "hi");

    HTTPParser upgrading;
    result = upgrading.feed(upgrade + frames);
    ASSERT_EQ(result.status, Status::complete);
    EXPECT_EQ(result.consumed, upgrade.size());  // the frames are left for the caller
}

TEST(HTTPParser, RefusesGarbageUntilReset) {
    HTTPParser parser;
    EXPECT_EQ(parser.feed("\x16\x03\x01 not http\r\n\r\n").status, Status::error);
    EXPECT_EQ(parser.feed("GET / HTTP/1.1\r\n\r\n").status, Status::error);
    EXPECT_FALSE(parser.errorName().empty());
    parser.reset();
    EXPECT_EQ(parser.feed("GET / HTTP/1.1\r\n\r\n").status, Status::complete);
    EXPECT_EQ(parser.feed("").status, Status::needMore);
}

TEST(HTTPParser, ReportsAUrlWithoutPathOnStandardError) {
    HTTPParser parser;
    testing::internal::CaptureStderr();
    const auto result = parser.feed("GET http://example.com HTTP/1.1\r\n\r\n");
    const std::string printed = testing::internal::GetCapturedStderr();
    EXPECT_EQ(result.status, Status::error);
    EXPECT_EQ(printed, "\n\n*** failed to parse PATH in URL http://example.com ***\n\n");
}

TEST(HttpResponse, WritesHeadersInByteOrderAndSetsContentLength) {
    HttpResponse response;
    response.addHeader("allow", "GET, POST, HEAD")
        .addHeader("Content-Type", "application/json")
        .addHeader("Access-Control-Allow-Origin", "*")
        .setBody(R"({"result":"ok"})");
    EXPECT_EQ(response.toString(),
              "HTTP/1.1 200 OK\r\nAccess-Control-Allow-Origin: *\r\nContent-Length: 15\r\n"
              "Content-Type: application/json\r\nallow: GET, POST, HEAD\r\n\r\n"
              R"({"result":"ok"})");
    EXPECT_EQ(HttpResponse().setBody("").toString(),
              "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
    EXPECT_EQ(HttpResponse().setStatus(HttpStatus::payloadTooLarge).toString(),
              "HTTP/1.1 413 Payload Too Large\r\n\r\n");
}

}  // namespace
}  // namespace kinetra::net
