// TrustPolicy: Host and Origin are compared in one normal form (lower case, no trailing dot,
// IP literals as asio prints them, default ports filled in), so that spelling tricks such as
// "LOCALHOST.", "[0:0::1]" or "http://127.1" neither pass nor fail by accident.
#include "net/trust_policy.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <optional>
#include <stdexcept>

#include <spdlog/spdlog.h>

#include "net/http_response.hpp"

namespace kinetra::net {
namespace {

constexpr std::string_view kAllowedMethods = "GET, POST, HEAD, OPTIONS";
constexpr std::string_view kAllowedHeaders = "Content-Type, X-Api-Key";
constexpr std::string_view kPreflightMaxAge = "600";

std::string lower(std::string_view text) {
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return result;
}

std::optional<std::uint16_t> portOf(std::string_view digits) {
    unsigned value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() ||
        value > 65535) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(value);
}

// A bare host name or address in the form the policy compares.
std::string normalHost(std::string_view host) {
    std::string name = lower(host);
    if (!name.empty() && name.back() == '.') {
        name.pop_back();
    }
    std::error_code error;
    const auto address = asio::ip::make_address(name, error);
    if (!error) {
        return address.to_string();
    }
    // What no DNS name holds: blanks, slashes, '@', a colon outside an IPv6 literal.
    const bool plain = !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '.' || c == '_';
    });
    return plain ? name : std::string();
}

struct Authority {
    std::string host;                   // normalised
    std::optional<std::uint16_t> port;  // when written
    bool valid = false;
};

// "host", "host:port", "[v6]", "[v6]:port".
Authority splitAuthority(std::string_view text) {
    Authority result;
    std::string_view host = text;
    std::string_view port;
    bool hasPort = false;
    if (text.starts_with('[')) {
        const auto close = text.find(']');
        if (close == std::string_view::npos) {
            return result;
        }
        host = text.substr(1, close - 1);
        const auto rest = text.substr(close + 1);
        if (!rest.empty()) {
            if (!rest.starts_with(':')) {
                return result;
            }
            hasPort = true;
            port = rest.substr(1);
        }
        std::error_code error;
        asio::ip::make_address_v6(std::string(host), error);
        if (error) {
            return result;
        }
    } else if (const auto colon = text.find(':'); colon != std::string_view::npos) {
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
        hasPort = true;
    }
    if (hasPort) {
        result.port = portOf(port);
        if (!result.port) {
            return result;
        }
    }
    result.host = normalHost(host);
    result.valid = !result.host.empty();
    return result;
}

struct Origin {
    std::string scheme;
    Authority authority;
    std::uint16_t port = 0;
};

std::optional<Origin> parseOrigin(std::string_view text) {
    const std::string value = lower(text);
    const auto separator = value.find("://");
    if (separator == std::string::npos) {
        return std::nullopt;
    }
    Origin origin;
    origin.scheme = value.substr(0, separator);
    if (origin.scheme != "http" && origin.scheme != "https") {
        return std::nullopt;
    }
    std::string_view rest = std::string_view(value).substr(separator + 3);
    if (rest.ends_with('/')) {
        rest.remove_suffix(1);  // written so in a configuration file now and then
    }
    if (rest.find_first_of("/?#@") != std::string_view::npos) {
        return std::nullopt;
    }
    origin.authority = splitAuthority(rest);
    if (!origin.authority.valid) {
        return std::nullopt;
    }
    origin.port = origin.authority.port.value_or(origin.scheme == "https" ? 443 : 80);
    return origin;
}

std::string format(const Origin& origin) {
    const std::string& host = origin.authority.host;
    const bool v6 = host.find(':') != std::string::npos;
    return origin.scheme + "://" + (v6 ? "[" + host + "]" : host) + ":" +
           std::to_string(origin.port);
}

// The value of query parameter `name`, %XX escapes and '+' decoded.
std::optional<std::string> queryParameter(std::string_view query, std::string_view name) {
    while (!query.empty()) {
        const auto amp = std::min(query.find('&'), query.size());
        const auto item = query.substr(0, amp);
        query.remove_prefix(std::min(amp + 1, query.size()));
        if (!item.starts_with(name) || item.size() <= name.size() || item[name.size()] != '=') {
            continue;
        }
        std::string value;
        const auto raw = item.substr(name.size() + 1);
        for (std::size_t i = 0; i < raw.size(); ++i) {
            unsigned byte = 0;
            if (raw[i] == '%' && i + 2 < raw.size() &&
                std::from_chars(raw.data() + i + 1, raw.data() + i + 3, byte, 16).ptr ==
                    raw.data() + i + 3) {
                value.push_back(static_cast<char>(byte));
                i += 2;
            } else {
                value.push_back(raw[i] == '+' ? ' ' : raw[i]);
            }
        }
        return value;
    }
    return std::nullopt;
}

}  // namespace

std::string hostOfHeader(std::string_view value) {
    const auto authority = splitAuthority(value);
    return authority.valid ? authority.host : std::string();
}

std::string normalisedOrigin(std::string_view origin) {
    const auto parsed = parseOrigin(origin);
    return parsed ? format(*parsed) : std::string();
}

bool sameKey(std::string_view presented, std::string_view expected) {
    // Every byte of the expected key is looked at whatever the presented one holds.
    unsigned char difference = presented.size() == expected.size() ? 0 : 1;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const char mine = i < presented.size() ? presented[i] : '\0';
        difference |= static_cast<unsigned char>(mine ^ expected[i]);
    }
    return difference == 0 && !expected.empty();
}

TrustPolicy::TrustPolicy(const config::SecuritySettings& settings,
                         std::vector<std::string> localNames, std::uint16_t webApplicationPort)
    : apiKey_(settings.apiKey), webApplicationPort_(webApplicationPort) {
    for (const auto& name : localNames) {
        names_.push_back(normalHost(name));
    }
    for (const auto& host : settings.allowedHosts) {
        if (host == "*") {
            anyHost_ = true;
        } else {
            names_.push_back(hostOfHeader(host));
        }
    }
    std::erase(names_, std::string());
    for (const auto& origin : settings.allowedOrigins) {
        if (origin == "*") {
            anyOrigin_ = true;
        } else if (auto normal = normalisedOrigin(origin); !normal.empty()) {
            origins_.push_back(std::move(normal));
        } else {
            // "null" (local files, sandboxed frames) and "file://", compared as written.
            origins_.push_back(lower(origin));
        }
    }
    std::string bad;
    auto trusted = NetworkList::parse(settings.trustedNetworks, &bad);
    if (!trusted) {
        throw std::invalid_argument("security.trustedNetworks: not an address block: " + bad);
    }
    trusted_ = std::move(*trusted);
}

bool TrustPolicy::hostAllowed(std::string_view host) const {
    return anyHost_ || std::find(names_.begin(), names_.end(), host) != names_.end();
}

bool TrustPolicy::originAllowed(std::string_view text) const {
    if (anyOrigin_) {
        return true;
    }
    const auto origin = parseOrigin(text);
    if (!origin) {
        return std::find(origins_.begin(), origins_.end(), lower(text)) != origins_.end();
    }
    // The web application's own pages, under any name this machine answers to.
    if (origin->scheme == "http" && origin->port == webApplicationPort_ &&
        hostAllowed(origin->authority.host)) {
        return true;
    }
    return std::find(origins_.begin(), origins_.end(), format(*origin)) != origins_.end();
}

bool TrustPolicy::keyPresented(const HttpRequest& request) const {
    if (apiKey_.empty()) {
        return false;
    }
    const auto header = request.header("X-Api-Key");
    if (!header.empty()) {
        return sameKey(header, apiKey_);
    }
    const auto parameter = queryParameter(request.query, "apiKey");
    return parameter && sameKey(*parameter, apiKey_);
}

Verdict TrustPolicy::check(const HttpRequest& request, const asio::ip::address& peer,
                           Door door) const {
    Verdict verdict;
    // Every browser sends Host; a request without one comes from a program, not a page.
    const auto hostHeader = request.headers.find("Host");
    if (hostHeader != request.headers.end() && !hostAllowed(hostOfHeader(hostHeader->second))) {
        verdict.outcome = Verdict::Outcome::forbidden;
        verdict.reason = "Host " + hostHeader->second + " does not name this machine";
        return verdict;
    }
    if (door == Door::webApplication) {
        return verdict;
    }
    const auto originHeader = request.headers.find("Origin");
    if (originHeader == request.headers.end()) {
        // Native programs send no Origin; the header keeps the form they have always seen.
        verdict.headers.emplace_back("Access-Control-Allow-Origin", "*");
    } else if (!originAllowed(originHeader->second)) {
        verdict.outcome = Verdict::Outcome::forbidden;
        verdict.reason = "Origin " + originHeader->second + " is not allowed";
        return verdict;
    } else if (anyOrigin_) {
        verdict.headers.emplace_back("Access-Control-Allow-Origin", "*");
    } else {
        verdict.headers.emplace_back("Access-Control-Allow-Origin", originHeader->second);
        verdict.headers.emplace_back("Vary", "Origin");
    }
    // A preflight carries no key (browsers send none on it); the request that follows does.
    if (originHeader != request.headers.end() && request.method == "OPTIONS" &&
        request.headers.contains("Access-Control-Request-Method")) {
        verdict.outcome = Verdict::Outcome::preflight;
        verdict.headers.emplace_back("Access-Control-Allow-Methods", kAllowedMethods);
        verdict.headers.emplace_back("Access-Control-Allow-Headers", kAllowedHeaders);
        verdict.headers.emplace_back("Access-Control-Max-Age", kPreflightMaxAge);
        // Chromium asks before a public page may reach a local address.
        if (request.header("Access-Control-Request-Private-Network") == "true") {
            verdict.headers.emplace_back("Access-Control-Allow-Private-Network", "true");
        }
        return verdict;
    }
    const bool trusted = trusted_.contains(peer);
    const bool keyed = keyPresented(request);
    if (!apiKey_.empty() && !trusted && !keyed) {
        verdict.outcome = Verdict::Outcome::unauthorized;
        verdict.reason = "no valid API key from " + peer.to_string();
        return verdict;
    }
    verdict.privileged = trusted || keyed;
    return verdict;
}

TrustPolicy startingTrustPolicy(config::SecuritySettings settings,
                                std::vector<std::string> localNames,
                                std::uint16_t webApplicationPort) {
    try {
        return TrustPolicy(settings, localNames, webApplicationPort);
    } catch (const std::invalid_argument& error) {
        settings.trustedNetworks = config::SecuritySettings{}.trustedNetworks;
        spdlog::warn("{0}; trusting loopback only.", error.what());
        return TrustPolicy(settings, std::move(localNames), webApplicationPort);
    }
}

std::string refusalResponse(const Verdict& verdict) {
    HttpResponse response;
    for (const auto& [name, value] : verdict.headers) {
        response.addHeader(name, value);
    }
    response.addHeader("Connection", "close");
    switch (verdict.outcome) {
        case Verdict::Outcome::preflight:
            return response.setStatus(HttpStatus::noContent).setBody("").toString();
        case Verdict::Outcome::unauthorized:
            return response.setStatus(HttpStatus::unauthorized)
                .addHeader("Content-Type", "application/json")
                .setBody(std::string(kUnauthorizedReply))
                .toString();
        case Verdict::Outcome::pass:
        case Verdict::Outcome::forbidden:
            break;
    }
    return response.setStatus(HttpStatus::forbidden)
        .addHeader("Content-Type", "application/json")
        .setBody(std::string(kForbiddenReply))
        .toString();
}

}  // namespace kinetra::net
