// A parsed HTTP/1.1 request as the session layer hands it to its handlers: plain data, built by
// HTTPParser on a worker loop thread; handlers may copy it to other threads.
#pragma once

#include <map>
#include <string>
#include <string_view>

namespace kinetra::net {

/// Orders header names without regard to ASCII case: HTTP field names are case-insensitive.
struct HeaderNameLess {
    using is_transparent = void;
    bool operator()(std::string_view left, std::string_view right) const;
};

/// Header fields by name (any case finds them); a repeated field holds its values joined by ", ".
using HeaderMap = std::map<std::string, std::string, HeaderNameLess>;

/// One complete request.
struct HttpRequest {
    std::string method;  ///< "GET", "POST", ... as http_parser names it.
    std::string url;     ///< The request target as received.
    std::string path;    ///< Path component of `url`, without the query.
    std::string query;   ///< Query component without the '?', empty when absent.
    HeaderMap headers;   ///< Values without surrounding blanks.
    std::string body;    ///< The body, de-chunked when sent chunked.
    /// The parser saw a protocol upgrade and the `Upgrade` header is exactly "websocket".
    bool isWebSocketUpgrade = false;
    /// The request line's version, 1.1 as {1, 1}.
    unsigned short httpMajor = 1;
    unsigned short httpMinor = 1;
    /// The client lets the connection stay open after the answer: HTTP/1.1 without the token
    /// "close" in `Connection`, HTTP/1.0 with "keep-alive" there (tokens in any case).
    bool keepAlive = false;

    /// The value of header `name` (any case), or an empty view when the request has none.
    std::string_view header(std::string_view name) const;
};

}  // namespace kinetra::net
