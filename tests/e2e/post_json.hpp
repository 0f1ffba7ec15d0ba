// One HTTP POST to a running server, for the end-to-end tests (test thread only).
// Needs tests/net/test_client.cpp in the test's sources.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/json.hpp"
#include "net/test_client.hpp"

namespace kinetra::testing {

/// The body of the server's reply to an HTTP POST of `body` to `path`; nothing when none came.
inline std::optional<std::string> postText(std::uint16_t port, const std::string& path,
                                           const std::string& body) {
    const auto response = net::test::TestClient::exchange(
        port, "POST " + path + " HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) +
                  "\r\n\r\n" + body);
    if (!response || response->find("\r\n\r\n") == std::string::npos) {
        return std::nullopt;
    }
    return response->substr(response->find("\r\n\r\n") + 4);
}

/// The JSON body of the reply to an HTTP POST of `body` to `path`, or null when none came.
inline json postJson(std::uint16_t port, const std::string& path, const json& body) {
    const auto text = postText(port, path, body.dump());
    return text ? json::parse(*text, nullptr, false) : json();
}

}  // namespace kinetra::testing
