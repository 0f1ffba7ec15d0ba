// HttpResponse text assembly. Pure; runs on the caller's thread.
#include "net/http_response.hpp"

namespace kinetra::net {

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
