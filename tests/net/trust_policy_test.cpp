// The trust decision as a table: Host spellings, origins, preflights, the key and the trusted
// networks, each row one request and what the policy must answer; then the CIDR matcher.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/open_door.hpp"
#include "net/trust_policy.hpp"

namespace kinetra::net {
namespace {

using Outcome = Verdict::Outcome;

constexpr std::uint16_t kWebPort = 32223;
const std::vector<std::string> kLocalNames{"localhost", "127.0.0.1", "::1", "studio-pc",
                                           "192.168.1.20"};

// A request from `origin` (none when empty) to `host` (no Host header when empty); a preflight
// for OPTIONS.
HttpRequest request(std::string method, const std::string& host, const std::string& origin = "",
                    HeaderMap more = {}, std::string query = "") {
    HttpRequest result;
    result.path = "/v1/device";
    result.query = std::move(query);
    result.headers = std::move(more);
    for (const auto& [name, value] : {std::pair{"Host", host}, std::pair{"Origin", origin}}) {
        if (!value.empty()) {
            result.headers.emplace(name, value);
        }
    }
    if (method == "OPTIONS") {
        result.headers.emplace("Access-Control-Request-Method", "POST");
    }
    result.method = std::move(method);
    return result;
}

std::string header(const Verdict& verdict, const std::string& name) {
    for (const auto& [key, value] : verdict.headers) {
        if (key == name) {
            return value;
        }
    }
    return "<none>";
}

TEST(TrustPolicy, DecidesByHostOriginKeyAndPeer) {
    config::SecuritySettings open;
    config::SecuritySettings listed;
    listed.allowedHosts = {"kinetra.lan"};
    listed.allowedOrigins = {"https://Studio.Example/", "null"};
    config::SecuritySettings keyed;
    keyed.apiKey = "s3cret";
    keyed.trustedNetworks = {"10.0.0.0/8"};  // loopback left out: the test's peer is untrusted
    config::SecuritySettings anyOrigin;
    anyOrigin.allowedOrigins = {"*"};

    const auto loopback = asio::ip::make_address("127.0.0.1");
    const auto lan = asio::ip::make_address("192.168.1.50");
    struct Row {
        const char* what;
        const config::SecuritySettings& settings;
        HttpRequest request;
        Outcome outcome;
        bool privileged;
        std::string allowOrigin;  // Access-Control-Allow-Origin, "<none>" when absent
        asio::ip::address peer = asio::ip::make_address("127.0.0.1");
        Door door = Door::api;
    };
    const std::string own = "http://localhost:32223";
    const std::vector<Row> rows = {
        {"curl, no Origin", open, request("POST", "localhost:32222"), Outcome::pass, true, "*"},
        {"no Host at all (HTTP/1.0 program)", open, request("GET", ""), Outcome::pass, true, "*"},
        {"Host spelt oddly", open, request("GET", "LOCALHOST.:1"), Outcome::pass, true, "*"},
        {"IPv6 loopback Host", open, request("GET", "[0:0::1]:32222"), Outcome::pass, true, "*"},
        {"interface address", open, request("GET", "192.168.1.20"), Outcome::pass, false, "*", lan},
        {"rebinding name", open, request("GET", "evil.example:32222"), Outcome::forbidden, false,
         "<none>"},
        {"malformed Host", open, request("GET", "localhost@evil:80"), Outcome::forbidden, false,
         "<none>", loopback, Door::webSocket},
        {"listed host", listed, request("GET", "Kinetra.LAN:32224"), Outcome::pass, false, "*", lan,
         Door::webSocket},
        {"own pages", open, request("POST", "127.0.0.1:32222", own), Outcome::pass, true, own},
        {"own pages under a listed host", listed,
         request("POST", "kinetra.lan:32222", "http://kinetra.lan:32223"), Outcome::pass, false,
         "http://kinetra.lan:32223", lan},
        {"foreign page", open, request("POST", "localhost:32222", "http://evil.example"),
         Outcome::forbidden, false, "<none>"},
        {"own host, other port", open, request("POST", "localhost:32222", "http://localhost:8080"),
         Outcome::forbidden, false, "<none>", loopback, Door::webSocket},
        {"own port over https", open, request("POST", "localhost:32222", "https://localhost:32223"),
         Outcome::forbidden, false, "<none>"},
        {"listed origin, default port", listed,
         request("POST", "localhost", "https://studio.example:443"), Outcome::pass, true,
         "https://studio.example:443"},
        {"null origin, listed", listed, request("POST", "localhost", "null"), Outcome::pass, true,
         "null"},
        {"null origin, not listed", open, request("POST", "localhost", "null"), Outcome::forbidden,
         false, "<none>"},
        {"any origin", anyOrigin, request("POST", "localhost", "http://evil.example"),
         Outcome::pass, true, "*"},
        {"preflight from own pages", open,
         request("OPTIONS", "localhost", "http://127.0.0.1:32223"), Outcome::preflight, false,
         "http://127.0.0.1:32223"},
        {"preflight needs no key", keyed, request("OPTIONS", "localhost", own), Outcome::preflight,
         false, own},
        {"preflight from a foreign page", open,
         request("OPTIONS", "localhost", "http://evil.example"), Outcome::forbidden, false,
         "<none>"},
        {"key missing", keyed, request("POST", "localhost"), Outcome::unauthorized, false, "*"},
        {"key wrong", keyed, request("POST", "localhost", "", {{"X-Api-Key", "s3cre"}}),
         Outcome::unauthorized, false, "*"},
        {"key in the header", keyed, request("POST", "localhost", "", {{"x-api-key", "s3cret"}}),
         Outcome::pass, true, "*"},
        {"key on the URL, escaped", keyed,
         request("GET", "localhost", "", {}, "x=1&apiKey=s3cr%65t"), Outcome::pass, true, "*",
         loopback, Door::webSocket},
        {"trusted peer needs no key", keyed, request("POST", "localhost"), Outcome::pass, true, "*",
         asio::ip::make_address("10.1.2.3")},
        {"key refused with CORS for own pages", keyed, request("POST", "localhost", own),
         Outcome::unauthorized, false, own},
    };
    for (const auto& row : rows) {
        const TrustPolicy policy(row.settings, kLocalNames, kWebPort);
        const auto verdict = policy.check(row.request, row.peer, row.door);
        EXPECT_EQ(verdict.outcome, row.outcome) << row.what;
        EXPECT_EQ(verdict.privileged, row.privileged) << row.what;
        EXPECT_EQ(header(verdict, "Access-Control-Allow-Origin"), row.allowOrigin) << row.what;
        const bool echoed = row.allowOrigin != "*" && row.allowOrigin != "<none>";
        EXPECT_EQ(header(verdict, "Vary"), echoed ? "Origin" : "<none>") << row.what;
    }
}

TEST(TrustPolicy, AnswersPreflightsAndRefusalsInFull) {
    const TrustPolicy policy({}, kLocalNames, kWebPort);
    const auto preflight =
        refusalResponse(policy.check(request("OPTIONS", "localhost", "http://localhost:32223",
                                             {{"Access-Control-Request-Private-Network", "true"}}),
                                     asio::ip::make_address("127.0.0.1"), Door::api));
    EXPECT_EQ(preflight,
              "HTTP/1.1 204 No Content\r\n"
              "Access-Control-Allow-Headers: Content-Type, X-Api-Key\r\n"
              "Access-Control-Allow-Methods: GET, POST, HEAD, OPTIONS\r\n"
              "Access-Control-Allow-Origin: http://localhost:32223\r\n"
              "Access-Control-Allow-Private-Network: true\r\n"
              "Access-Control-Max-Age: 600\r\n"
              "Connection: close\r\nContent-Length: 0\r\nVary: Origin\r\n\r\n");
    Verdict forbidden;
    forbidden.outcome = Outcome::forbidden;
    EXPECT_EQ(refusalResponse(forbidden),
              "HTTP/1.1 403 Forbidden\r\nConnection: close\r\nContent-Length: 22\r\n"
              "Content-Type: application/json\r\n\r\n{\"result\":\"forbidden\"}");
}

TEST(TrustPolicy, RefusesATrustedNetworkThatIsNoAddressBlockOrFallsBackWhenStarting) {
    config::SecuritySettings settings;
    settings.trustedNetworks = {"127.0.0.0/8", "10.0.0.0/33"};
    EXPECT_THROW(TrustPolicy(settings, kLocalNames, kWebPort), std::invalid_argument);
    // A listener still starts, trusting loopback only.
    const auto starting = startingTrustPolicy(settings, kLocalNames, kWebPort);
    EXPECT_TRUE(starting.trustedNetworks().contains(std::string_view("127.0.0.1")));
    EXPECT_FALSE(starting.trustedNetworks().contains(std::string_view("10.0.0.1")));
}

TEST(NetworkList, MatchesAddressesAgainstItsBlocks) {
    const auto list =
        NetworkList::parse({"127.0.0.0/8", "192.168.1.128/25", "fd00::/8", "::1", "10.0.0.7"});
    ASSERT_TRUE(list);
    // Each row: an address inside a block, then one just outside it.
    const std::pair<const char*, const char*> rows[] = {
        {"127.255.0.1", "128.0.0.1"}, {"192.168.1.128", "192.168.1.127"},
        {"fd12::5", "fe80::1"},       {"::1", "::2"},
        {"10.0.0.7", "10.0.0.8"},     {"::ffff:127.0.0.1", "not an address"}};
    for (const auto& [inside, outside] : rows) {
        EXPECT_TRUE(list->contains(std::string_view(inside))) << inside;
        EXPECT_FALSE(list->contains(std::string_view(outside))) << outside;
    }
    EXPECT_FALSE(NetworkList::parse({}).value().contains(std::string_view("127.0.0.1")));
    for (const char* bad : {"127.0.0.0/", "127.0.0.0/x", "fd00::/129", "localhost", "1.2.3.4/-1"}) {
        EXPECT_FALSE(NetworkList::parse({bad})) << bad;
    }
}

TEST(OpenDoorWarning, NamesTheListenersBeyondLoopbackWhileNoKeyIsSet) {
    EXPECT_EQ(openDoorWarning({{"127.0.0.1", 32222}, {"127.8.9.10", 1}, {"::1", 2}}, false), "");
    const std::vector<ListenAddress> open{{"127.0.0.1", 1}, {"0.0.0.0", 32224}, {"10.1.2.3", 80}};
    EXPECT_NE(openDoorWarning(open, false).find("(0.0.0.0:32224, 10.1.2.3:80) without an API key"),
              std::string::npos);
    EXPECT_EQ(openDoorWarning(open, true), "");
}

}  // namespace
}  // namespace kinetra::net
