// The gateway's response form. Pure; runs on whichever worker thread answers.
#include "gateway/gateway_texts.hpp"

#include <utility>

#include "net/http_response.hpp"

namespace kinetra::gateway {

std::string httpResponseText(std::string body) {
    return httpResponseText(std::move(body), {{"Access-Control-Allow-Origin", "*"}});
}

std::string httpResponseText(std::string body, const std::vector<net::HeaderField>& cors) {
    net::HttpResponse response;
    for (const auto& [name, value] : cors) {
        response.addHeader(name, value);
    }
    // HttpResponse orders headers by name in byte order, so "allow" comes last.
    return response.addHeader("Content-Type", "application/json")
        .addHeader("allow", "GET, POST, HEAD")
        .setBody(std::move(body))
        .toString();
}

}  // namespace kinetra::gateway
