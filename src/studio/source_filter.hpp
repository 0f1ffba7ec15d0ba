// Which sources may send OSC: the [security] trustedNetworks CIDR list (loopback only when it is
// not set), matched by the same net::NetworkList that decides for HTTP and WebSocket clients.
// Asked by the OSC thread for every datagram before it is decoded.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <asio/ip/address.hpp>

#include "net/network_list.hpp"

namespace kinetra::studio {

class SourceFilter {
public:
    /// `cidrList`: comma-separated networks ("127.0.0.0/8, 192.168.1.0/24, ::1/128"); a bare
    /// address is a network of one. Empty: loopback only. Entries that do not parse are
    /// skipped and listed by `rejected()`.
    explicit SourceFilter(std::string_view cidrList = {});

    /// True when `source` is inside one of the networks. An IPv4 address carried as IPv6
    /// (::ffff:a.b.c.d, from a dual-stack socket) is judged as the IPv4 address.
    bool allows(const asio::ip::address& source) const { return networks_.contains(source); }

    const std::vector<std::string>& rejected() const { return rejected_; }

private:
    net::NetworkList networks_;
    std::vector<std::string> rejected_;
};

}  // namespace kinetra::studio
