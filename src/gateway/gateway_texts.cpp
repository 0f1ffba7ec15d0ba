// The gateway's response form. Pure; runs on whichever worker thread answers.
#include "gateway/gateway_texts.hpp"

#include <utility>

#include "net/http_response.hpp"

namespace kinetra::gateway {

std::string httpResponseText(std::string body) {
    // HttpResponse orders headers by name in byte order, so "allow" comes last.
    return net::HttpResponse()
        .addHeader("Access-Control-Allow-Origin", "*")
        .addHeader("Content-Type", "application/json")
        .addHeader("allow", "GET, POST, HEAD")
        .setBody(std::move(body))
        .toString();
}

}  // namespace kinetra::gateway
