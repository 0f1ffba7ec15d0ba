// HttpResponse text assembly. Pure; runs on the caller's thread.
#include "net/http_response.hpp"

#include <algorithm>
#include <cstddef>
#include <optional>

namespace kinetra::net {

namespace {

constexpr std::string_view kConnection = "Connection";

std::string_view trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    return first == std::string_view::npos
               ? std::string_view{}
               : text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

bool sameIgnoringCase(std::string_view left, std::string_view right) {
    const auto lower = [](char c) {
        return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    };
    return left.size() == right.size() &&
           std::equal(left.begin(), left.end(), right.begin(),
                      [&](char a, char b) { return lower(a) == lower(b); });
}

// One header line of a response head: where it starts, its length without CRLF, its parts.
struct HeaderLine {
    std::size_t at;
    std::size_t length;
    std::string_view name;
    std::string_view value;
};

// Calls `visit` on each header line of `text` (between the status line and the blank line) and
// returns where the blank line starts; nothing when the head is not complete.
template <typename Visit>
std::optional<std::size_t> visitHeaders(std::string_view text, Visit visit) {
    std::size_t at = text.find("\r\n");
    while (at != std::string_view::npos) {
        at += 2;
        const std::size_t end = text.find("\r\n", at);
        if (end == std::string_view::npos) {
            break;
        }
        if (end == at) {
            return at;
        }
        const std::string_view line = text.substr(at, end - at);
        const std::size_t colon = std::min(line.find(':'), line.size());
        visit(HeaderLine{at, line.size(), trimmed(line.substr(0, colon)),
                         trimmed(line.substr(std::min(colon + 1, line.size())))});
        at = end;
    }
    return std::nullopt;
}

}  // namespace

bool saysClose(std::string_view response) {
    bool close = false;
    visitHeaders(response, [&](const HeaderLine& line) {
        if (!sameIgnoringCase(line.name, kConnection)) {
            return;
        }
        std::string_view tokens = line.value;
        while (!tokens.empty()) {
            const std::size_t comma = std::min(tokens.find(','), tokens.size());
            close = close || sameIgnoringCase(trimmed(tokens.substr(0, comma)), "close");
            tokens.remove_prefix(std::min(comma + 1, tokens.size()));
        }
    });
    return close;
}

void setConnectionHeader(std::string& response, std::string_view value) {
    std::optional<HeaderLine> existing;
    std::optional<std::size_t> before;  // the first line whose name sorts after "Connection"
    const auto blank = visitHeaders(response, [&](const HeaderLine& line) {
        if (sameIgnoringCase(line.name, kConnection)) {
            existing = line;
        } else if (!before && line.name > kConnection) {
            before = line.at;
        }
    });
    if (!blank) {
        return;
    }
    std::string header = std::string(kConnection) + ": " + std::string(value);
    if (existing) {
        response.replace(existing->at, existing->length, header);
    } else {
        response.insert(before.value_or(*blank), header + "\r\n");
    }
}

HttpResponse& HttpResponse::setStatus(HttpStatus status) {
    status_ = status;
    return *this;
}

HttpResponse& HttpResponse::addHeader(std::string name, std::string value) {
    headers_.insert_or_assign(std::move(name), std::move(value));
    return *this;
}

HttpResponse& HttpResponse::setBody(std::string body) {
    body_ = std::move(body);
    headers_.insert_or_assign("Content-Length", std::to_string(body_.size()));
    return *this;
}

std::string HttpResponse::toString() const {
    std::string text = "HTTP/1.1 ";
    text.append(std::to_string(static_cast<int>(status_)))
        .append(" ")
        .append(kHttpStatusReasons.nameOf(status_))
        .append("\r\n");
    for (const auto& [name, value] : headers_) {
        text.append(name).append(": ").append(value).append("\r\n");
    }
    text.append("\r\n").append(body_);
    return text;
}

}  // namespace kinetra::net
