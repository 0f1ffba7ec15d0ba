// libFuzzer target: arbitrary bytes through the request parser, in two pieces split where the
// first byte says, the way a socket may deliver them. Requests come out one at a time, and each
// goes through the trust decision (Host, Origin, preflight, key) at every door; what a refusal
// logs of it (method, path, Host) is escaped into one clean line, and its answer keeps saying
// that it closes the connection.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/log_text.hpp"
#include "core/utf8.hpp"
#include "net/http_parser.hpp"
#include "net/http_response.hpp"
#include "net/trust_policy.hpp"

using kinetra::net::HTTPParser;

namespace {

using namespace kinetra;

// A key, a listed host and origin, and a trusted network that leaves loopback out, so every
// branch of the decision is reachable.
const net::TrustPolicy& policy() {
    static const net::TrustPolicy instance = [] {
        config::SecuritySettings settings;
        settings.allowedHosts = {"kinetra.lan"};
        settings.allowedOrigins = {"https://studio.example", "null"};
        settings.apiKey = "k3y";
        settings.trustedNetworks = {"10.0.0.0/8"};
        return net::TrustPolicy(settings, {"localhost", "127.0.0.1", "::1"}, 32223);
    }();
    return instance;
}

// The decision never throws and answers every refusal with a status line of its own.
bool judge(const net::HttpRequest& request) {
    static const auto peer = asio::ip::make_address("127.0.0.1");
    for (const auto door : {net::Door::api, net::Door::webSocket, net::Door::webApplication}) {
        const auto verdict = policy().check(request, peer, door);
        if (verdict.outcome != net::Verdict::Outcome::pass) {
            // Stamped as the session stamps a last answer, the refusal still says it closes.
            std::string refusal = net::refusalResponse(verdict);
            net::setConnectionHeader(refusal, "close");
            if (!refusal.starts_with("HTTP/1.1 ") || !net::saysClose(refusal)) {
                return false;
            }
        }
        if (door == net::Door::webApplication && verdict.outcome != net::Verdict::Outcome::pass &&
            verdict.outcome != net::Verdict::Outcome::forbidden) {
            return false;  // the pages' door looks at the Host only
        }
    }
    const auto host = net::hostOfHeader(request.header("Host"));
    return host.find_first_of(" /@") == std::string::npos;
}

// An escaped text is one line of well-formed UTF-8 without control characters.
bool cleanForLog(std::string_view text) {
    const std::string escaped = core::escapeForLog(text);
    const bool controls = std::any_of(escaped.begin(), escaped.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
    });
    return !controls && core::isValidUtf8(escaped) && escaped.size() <= 4 * core::kLogTextLimit + 3;
}

// Feeds `text` until it is used up or the parser refuses it; returns false on a broken count.
bool feedAll(HTTPParser& parser, std::string_view text) {
    while (!text.empty()) {
        const auto result = parser.feed(text);
        if (result.consumed > text.size()) {
            return false;
        }
        if (result.status == HTTPParser::Status::complete) {
            const auto request = parser.takeRequest();
            if (request.path.size() > request.url.size() || !judge(request) ||
                !cleanForLog(request.method) || !cleanForLog(request.url) ||
                !cleanForLog(request.header("Host"))) {
                return false;
            }
            if (parser.switchesProtocol()) {
                return true;  // the rest belongs to another protocol
            }
        } else if (result.status == HTTPParser::Status::error) {
            return true;
        }
        text.remove_prefix(result.consumed);
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::size_t split = size == 0 ? 0 : data[0] % (size + 1);
    HTTPParser parser;
    if (!feedAll(parser, text.substr(0, split)) || !feedAll(parser, text.substr(split))) {
        std::abort();
    }
    return 0;
}
