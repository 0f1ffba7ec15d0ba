// A list of address blocks in CIDR form ("192.168.1.0/24", "::1/128"): which clients are
// trusted. Pure; built once at start and then read from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <asio/ip/address.hpp>

namespace kinetra::net {

class NetworkList {
public:
    /// One block: an address in IPv6 form (IPv4 as ::ffff:a.b.c.d) and a prefix length 0..128.
    struct Block {
        std::array<std::uint8_t, 16> bytes{};
        unsigned prefix = 0;
    };

    NetworkList() = default;

    /// Parses "address/prefix" items; an item without "/" is one address. Nothing when an item
    /// is not an address or its prefix is out of range (the item is named in `error`).
    static std::optional<NetworkList> parse(const std::vector<std::string>& items,
                                            std::string* error = nullptr);

    /// True when `address` lies in one of the blocks. IPv4 and IPv4-mapped IPv6 addresses match
    /// the same IPv4 blocks.
    bool contains(const asio::ip::address& address) const;
    /// The same for an address as text; false when it is not one.
    bool contains(std::string_view address) const;

    bool empty() const { return blocks_.empty(); }

private:
    std::vector<Block> blocks_;
};

}  // namespace kinetra::net
