// One HTTP POST of a JSON body to a running server, for the end-to-end tests (test thread only).
// Needs tests/net/test_client.cpp in the test's sources.
#pragma once

#include <cstdint>
#include <string>

#include "core/json.hpp"
#include "net/test_client.hpp"

namespace kinetra::testing {

/// The JSON body of the reply to an HTTP POST of `body` to `path`, or null when none came.
inline json postJson(std::uint16_t port, const std::string& path, const json& body) {
    const std::string text = body.dump();
    const auto response = net::test::TestClient::exchange(
        port, "POST " + path + " HTTP/1.1\r\nContent-Length: " + std::to_string(text.size()) +
                  "\r\n\r\n" + text);
    if (!response || response->find("\r\n\r\n") == std::string::npos) {
        return nullptr;
    }
    return json::parse(response->substr(response->find("\r\n\r\n") + 4), nullptr, false);
}

}  // namespace kinetra::testing
