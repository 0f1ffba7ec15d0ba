// The trust decision for every HTTP request and WebSocket upgrade, taken once before anything
// is forwarded: does the Host name this machine, may the page's Origin call us, has a client
// outside the trusted networks presented the API key, and which CORS headers go on the answer.
// Pure; built at start, then evaluated on whichever thread handles the request.
//
//     TrustPolicy policy(security, platform::localHostNames(), webApplicationPort);
//     const auto verdict = policy.check(request, session->connection()->remoteIp(), Door::api);
//     if (verdict.outcome != Verdict::Outcome::pass) { send(refusalResponse(verdict)); ... }
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <asio/ip/address.hpp>

#include "net/http_request.hpp"
#include "net/network_list.hpp"
#include "settings/security_settings.hpp"

namespace kinetra::net {

/// The listener a request came through.
enum class Door {
    api,             ///< the HTTP API
    webSocket,       ///< the WebSocket listener (upgrades)
    webApplication,  ///< the web application's pages: only the Host is checked
};

/// One header of the answer: name and value.
using HeaderField = std::pair<std::string, std::string>;

struct Verdict {
    enum class Outcome {
        pass,          ///< forward the request
        preflight,     ///< a CORS preflight from an allowed origin: answer it, forward nothing
        forbidden,     ///< 403 {"result":"forbidden"}
        unauthorized,  ///< 401 {"result":"unauthorized"}
    };
    Outcome outcome = Outcome::pass;
    /// The client is inside the trusted networks or presented the key: it may use the commands
    /// that choose a link's port or rewrite firmware.
    bool privileged = false;
    /// CORS headers for the answer, whatever it is (a refusal too, so that an allowed page can
    /// read why it was refused).
    std::vector<HeaderField> headers;
    /// Why a refusal was given, for the log.
    std::string reason;
};

/// Reply bodies of the refusals.
inline constexpr std::string_view kForbiddenReply = R"({"result":"forbidden"})";
inline constexpr std::string_view kUnauthorizedReply = R"({"result":"unauthorized"})";

class TrustPolicy {
public:
    /// `localNames`: what the Host may name besides settings.allowedHosts (lower case; IPv6
    /// without brackets). `webApplicationPort`: the port the web application's own pages come
    /// from. Throws std::invalid_argument naming a trustedNetworks item that is not CIDR.
    TrustPolicy(const config::SecuritySettings& settings, std::vector<std::string> localNames,
                std::uint16_t webApplicationPort);

    /// Decides for `request` from `peer` arriving through `door`.
    Verdict check(const HttpRequest& request, const asio::ip::address& peer, Door door) const;

    /// True when allowedOrigins is "*": every page may call the API.
    bool allowsAnyOrigin() const { return anyOrigin_; }
    /// The clients that need no key.
    const NetworkList& trustedNetworks() const { return trusted_; }

private:
    bool hostAllowed(std::string_view host) const;
    bool originAllowed(std::string_view origin) const;
    bool keyPresented(const HttpRequest& request) const;

    std::vector<std::string> names_;    // this machine's names and allowedHosts, normalised
    std::vector<std::string> origins_;  // allowedOrigins, normalised
    bool anyHost_ = false;
    bool anyOrigin_ = false;
    std::string apiKey_;
    NetworkList trusted_;
    std::uint16_t webApplicationPort_;
};

/// The policy for a listener about to start: as TrustPolicy's constructor, but a trustedNetworks
/// list that is not CIDR falls back to the default (loopback only) with a warning naming the
/// item, so that a typo in config.ini does not keep the server from starting.
TrustPolicy startingTrustPolicy(config::SecuritySettings settings,
                                std::vector<std::string> localNames,
                                std::uint16_t webApplicationPort);

/// The host part of a Host header value ("Example.COM:80" -> "example.com", "[::1]:8" ->
/// "::1"), normalised as the policy compares it; empty when the value is malformed.
std::string hostOfHeader(std::string_view value);

/// An origin ("HTTP://Host:80") as "scheme://host:port" with the default port filled in and
/// lower case; empty when it is not a http or https origin.
std::string normalisedOrigin(std::string_view origin);

/// True when `presented` equals `expected`, in time that depends only on their lengths.
bool sameKey(std::string_view presented, std::string_view expected);

/// The full response for a verdict that does not pass: 204 with the CORS headers for a
/// preflight, else 403 or 401 with its JSON body and `Connection: close`.
std::string refusalResponse(const Verdict& verdict);

}  // namespace kinetra::net
