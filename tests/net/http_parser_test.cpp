// Request parsing on http_parser, fed the way a socket delivers bytes. (The response text is
// checked byte for byte through the gateway.)
// Where one request ends (pipelining, frames behind an upgrade) is tested through HttpSession.
#include <gtest/gtest.h>

#include <string>

#include "net/http_parser.hpp"

namespace kinetra::net {
namespace {

using Status = HTTPParser::Status;

// Feeds `text` in pieces of `piece` bytes; returns the first completed request.
HttpRequest parseInPieces(const std::string& text, std::size_t piece = 1000) {
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

TEST(HTTPParser, CollectsEveryPartOfARequestWhateverTheChunking) {
    const std::string text =
        "POST /v1/bundle/AB12?verbose=1 HTTP/1.1\r\ncontent-TYPE:  application/json \r\n"
        "X-Tag: a\r\nx-tag: b\r\nContent-Length: 13\r\n\r\n{\"a\": [1, 2]}";
    for (std::size_t piece : {std::size_t{1}, std::size_t{7}, text.size()}) {
        const HttpRequest request = parseInPieces(text, piece);
        EXPECT_EQ(request.method, "POST");
        EXPECT_EQ(request.url, "/v1/bundle/AB12?verbose=1");
        EXPECT_EQ(request.path, "/v1/bundle/AB12");
        EXPECT_EQ(request.query, "verbose=1");
        EXPECT_EQ(request.body, "{\"a\": [1, 2]}");
        // Header names in any case, values trimmed, a repeated field joined.
        EXPECT_EQ(request.header("Content-Type"), "application/json");
        EXPECT_EQ(request.header("X-TAG"), "a, b");
        EXPECT_EQ(request.header("Missing"), "");
    }
}

TEST(HTTPParser, UpgradeAndKeepAliveOnlyForTheExactHeaderValues) {
    struct Case {
        const char* headers;
        bool switchesProtocol;
        bool webSocket;
        bool keepAlive;
    };
    const Case cases[] = {
        {"Connection: Upgrade\r\nUpgrade: websocket\r\n", true, true, false},
        {"Connection: Upgrade\r\nUpgrade: WebSocket\r\n", true, false, false},
        {"Upgrade: websocket\r\n", false, false, false},  // without Connection: Upgrade
        {"Connection: Keep-Alive\r\n", false, false, true},
        {"Connection: keep-alive\r\n", false, false, false},
        {"Connection: close\r\n", false, false, false},
    };
    for (const auto& [headers, switchesProtocol, webSocket, keepAlive] : cases) {
        HTTPParser parser;
        ASSERT_EQ(parser.feed(std::string("GET /ws HTTP/1.1\r\n") + headers + "\r\n").status,
                  Status::complete);
        EXPECT_EQ(parser.switchesProtocol(), switchesProtocol) << headers;
        const HttpRequest request = parser.takeRequest();
        EXPECT_EQ(request.isWebSocketUpgrade, webSocket) << headers;
        EXPECT_EQ(request.isKeepAlive, keepAlive) << headers;
    }
}

TEST(HTTPParser, ReportsAUrlWithoutPathOnStandardError) {
    // Bytes that are not HTTP at all are refused through HttpSession.
    HTTPParser parser;
    testing::internal::CaptureStderr();
    EXPECT_EQ(parser.feed("GET http://example.com HTTP/1.1\r\n\r\n").status, Status::error);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "\n\n*** failed to parse PATH in URL http://example.com ***\n\n");
}

}  // namespace
}  // namespace kinetra::net
