// Incremental HTTP/1.1 request parser on http_parser: bytes in, one complete request out at a
// time. Pure (no sockets, no threads); a session feeds it on its worker loop thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include <http_parser.h>

#include "net/http_request.hpp"

namespace kinetra::net {

/// Parses requests one after another from a byte stream. Not copyable or movable (the C parser
/// points back at it). One instance per connection.
class HTTPParser {
public:
    enum class Status {
        needMore,  ///< Every byte was consumed; the request is not complete yet.
        complete,  ///< A request ended after `consumed` bytes; takeRequest() returns it.
        error,     ///< The bytes are not an HTTP request (or its URL has no path).
    };

    struct Result {
        Status status;
        std::size_t consumed;  ///< Bytes of the input that belong to requests read so far.
    };

    HTTPParser();
    HTTPParser(const HTTPParser&) = delete;
    HTTPParser& operator=(const HTTPParser&) = delete;

    /// Feeds `data`. Stops right after the end of a request, so on `complete` the bytes past
    /// `consumed` are the next request, or another protocol when switchesProtocol() is true.
    /// After `error` every further feed answers `error` until reset().
    Result feed(std::string_view data);

    /// Moves out the request completed by the last feed, leaving the parser ready for the next.
    HttpRequest takeRequest();

    /// After `complete`: the request switched protocols (http_parser's upgrade, any protocol);
    /// what follows it on the connection is not HTTP.
    bool switchesProtocol() const { return parser_.upgrade != 0; }

    /// The request being parsed has all its headers (its body may still be coming); false again
    /// once it has been taken.
    bool headersComplete() const { return headersComplete_; }

    /// The request being parsed: once headersComplete(), everything but (the rest of) its body.
    const HttpRequest& head() const { return current_; }

    /// http_parser's name for the error after `Status::error`, for logs.
    std::string_view errorName() const;

    /// Forgets any partial request and any error.
    void reset();

private:
    static int onMessageBegin(http_parser* parser);
    static int onUrl(http_parser* parser, const char* at, std::size_t length);
    static int onHeaderField(http_parser* parser, const char* at, std::size_t length);
    static int onHeaderValue(http_parser* parser, const char* at, std::size_t length);
    static int onHeadersComplete(http_parser* parser);
    static int onBody(http_parser* parser, const char* at, std::size_t length);
    static int onMessageComplete(http_parser* parser);
    static const http_parser_settings kSettings;

    void commitHeader();
    bool splitUrl();

    http_parser parser_{};
    HttpRequest current_;
    std::string field_;
    std::string value_;
    bool inValue_ = false;
    bool complete_ = false;
    bool headersComplete_ = false;
};

}  // namespace kinetra::net
