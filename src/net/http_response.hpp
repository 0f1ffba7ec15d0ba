// Builds the text of an HTTP/1.1 response: status line, headers in name order, body. Pure; used
// by request handlers on whatever thread answers.
#pragma once

#include <map>
#include <string>
#include <string_view>

#include "core/enum_table.hpp"

namespace kinetra::net {

/// Status codes this layer and its users send.
enum class HttpStatus : int {
    ok = 200,
    switchingProtocols = 101,
    noContent = 204,
    badRequest = 400,
    unauthorized = 401,
    forbidden = 403,
    notFound = 404,
    methodNotAllowed = 405,
    payloadTooLarge = 413,
};

/// Reason phrase per status; an unlisted value reads as the first row ("OK").
inline constexpr auto kHttpStatusReasons = core::makeEnumTable<HttpStatus>({
    {HttpStatus::ok, "OK"},
    {HttpStatus::switchingProtocols, "Switching Protocols"},
    {HttpStatus::noContent, "No Content"},
    {HttpStatus::badRequest, "Bad Request"},
    {HttpStatus::unauthorized, "Unauthorized"},
    {HttpStatus::forbidden, "Forbidden"},
    {HttpStatus::notFound, "Not Found"},
    {HttpStatus::methodNotAllowed, "Method Not Allowed"},
    {HttpStatus::payloadTooLarge, "Payload Too Large"},
});

/// A response under construction. Headers are kept ordered by name in byte order (upper-case
/// names first) and written in that order as "name: value\r\n".
class HttpResponse {
public:
    /// Sets the status (default 200).
    HttpResponse& setStatus(HttpStatus status);

    /// Sets header `name` to `value`, replacing an earlier value under the exact same name.
    HttpResponse& addHeader(std::string name, std::string value);

    /// Sets the body and its `Content-Length` (bytes, decimal).
    HttpResponse& setBody(std::string body);

    /// The full response text: "HTTP/1.1 <status> <reason>\r\n", headers, "\r\n", body.
    std::string toString() const;

private:
    HttpStatus status_ = HttpStatus::ok;
    std::map<std::string, std::string> headers_;
    std::string body_;
};

/// True when the head of the response text `response` has a `Connection` header holding the
/// token "close" (name and token in any case).
bool saysClose(std::string_view response);

/// Gives the response text `response` the header `Connection: <value>`: replaces the value of
/// the `Connection` header it has (name in any case), else inserts one where HttpResponse puts
/// it (names in byte order). Text without a status line and a complete head is left as it is.
void setConnectionHeader(std::string& response, std::string_view value);

}  // namespace kinetra::net
