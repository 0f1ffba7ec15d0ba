// HTTPParser: adapts http_parser's callbacks into HttpRequest values. Pure; runs on the thread
// that feeds it (a session's worker loop).
#include "net/http_parser.hpp"

#include <cstdio>

#include "core/log_text.hpp"
#include "settings/value_text.hpp"

namespace kinetra::net {

namespace {

HTTPParser& self(http_parser* parser) {
    return *static_cast<HTTPParser*>(parser->data);
}

}  // namespace

const http_parser_settings HTTPParser::kSettings = [] {
    http_parser_settings settings{};
    http_parser_settings_init(&settings);
    settings.on_message_begin = &HTTPParser::onMessageBegin;
    settings.on_url = &HTTPParser::onUrl;
    settings.on_header_field = &HTTPParser::onHeaderField;
    settings.on_header_value = &HTTPParser::onHeaderValue;
    settings.on_headers_complete = &HTTPParser::onHeadersComplete;
    settings.on_body = &HTTPParser::onBody;
    settings.on_message_complete = &HTTPParser::onMessageComplete;
    return settings;
}();

HTTPParser::HTTPParser() {
    reset();
}

void HTTPParser::reset() {
    http_parser_init(&parser_, HTTP_REQUEST);
    parser_.data = this;
    current_ = HttpRequest{};
    field_.clear();
    value_.clear();
    inValue_ = false;
    complete_ = false;
    headersComplete_ = false;
}

HTTPParser::Result HTTPParser::feed(std::string_view data) {
    if (HTTP_PARSER_ERRNO(&parser_) != HPE_OK) {
        return {Status::error, 0};
    }
    // A zero length tells http_parser the stream ended; an empty chunk means nothing here.
    if (data.empty()) {
        return {Status::needMore, 0};
    }
    complete_ = false;
    const std::size_t consumed =
        http_parser_execute(&parser_, &kSettings, data.data(), data.size());
    if (HTTP_PARSER_ERRNO(&parser_) == HPE_PAUSED) {
        // onMessageComplete paused the parser so that requests come out one at a time.
        http_parser_pause(&parser_, 0);
    } else if (HTTP_PARSER_ERRNO(&parser_) != HPE_OK) {
        return {Status::error, consumed};
    }
    if (complete_) {
        return {Status::complete, consumed};
    }
    return {consumed == data.size() ? Status::needMore : Status::error, consumed};
}

HttpRequest HTTPParser::takeRequest() {
    HttpRequest request = std::move(current_);
    current_ = HttpRequest{};
    complete_ = false;
    headersComplete_ = false;
    return request;
}

std::string_view HTTPParser::errorName() const {
    return http_errno_name(HTTP_PARSER_ERRNO(&parser_));
}

void HTTPParser::commitHeader() {
    if (!field_.empty()) {
        const std::string_view value = config::trim(value_);
        auto [entry, inserted] = current_.headers.try_emplace(field_, value);
        if (!inserted) {
            entry->second.append(", ").append(value);
        }
    }
    field_.clear();
    value_.clear();
    inValue_ = false;
}

bool HTTPParser::splitUrl() {
    http_parser_url parts{};
    http_parser_url_init(&parts);
    const bool isConnect = parser_.method == HTTP_CONNECT;
    const int failed =
        http_parser_parse_url(current_.url.data(), current_.url.size(), isConnect, &parts);
    if (failed != 0 || (parts.field_set & (1U << UF_PATH)) == 0) {
        // The URL is the client's: its control characters must not reach the terminal as such.
        std::fprintf(stderr, "\n\n*** failed to parse PATH in URL %s ***\n\n",
                     core::escapeForLog(current_.url).c_str());
        return false;
    }
    const auto& path = parts.field_data[UF_PATH];
    current_.path.assign(current_.url, path.off, path.len);
    if ((parts.field_set & (1U << UF_QUERY)) != 0) {
        const auto& query = parts.field_data[UF_QUERY];
        current_.query.assign(current_.url, query.off, query.len);
    }
    return true;
}

int HTTPParser::onMessageBegin(http_parser* parser) {
    HTTPParser& me = self(parser);
    me.current_ = HttpRequest{};
    me.field_.clear();
    me.value_.clear();
    me.inValue_ = false;
    me.headersComplete_ = false;
    return 0;
}

int HTTPParser::onUrl(http_parser* parser, const char* at, std::size_t length) {
    self(parser).current_.url.append(at, length);
    return 0;
}

int HTTPParser::onHeaderField(http_parser* parser, const char* at, std::size_t length) {
    HTTPParser& me = self(parser);
    // A field name after a value starts the next header; names and values may come in pieces.
    if (me.inValue_) {
        me.commitHeader();
    }
    me.field_.append(at, length);
    return 0;
}

int HTTPParser::onHeaderValue(http_parser* parser, const char* at, std::size_t length) {
    HTTPParser& me = self(parser);
    me.inValue_ = true;
    me.value_.append(at, length);
    return 0;
}

int HTTPParser::onHeadersComplete(http_parser* parser) {
    HTTPParser& me = self(parser);
    me.commitHeader();
    HttpRequest& request = me.current_;
    request.method = http_method_str(static_cast<http_method>(parser->method));
    if (!me.splitUrl()) {
        return -1;
    }
    // http_parser sets `upgrade` before this callback; exact, case-sensitive header values.
    request.isWebSocketUpgrade = parser->upgrade != 0 && request.header("Upgrade") == "websocket";
    request.httpMajor = parser->http_major;
    request.httpMinor = parser->http_minor;
    request.keepAlive = http_should_keep_alive(parser) != 0;
    me.headersComplete_ = true;
    return 0;
}

int HTTPParser::onBody(http_parser* parser, const char* at, std::size_t length) {
    self(parser).current_.body.append(at, length);
    return 0;
}

int HTTPParser::onMessageComplete(http_parser* parser) {
    self(parser).complete_ = true;
    http_parser_pause(parser, 1);
    return 0;
}

}  // namespace kinetra::net
