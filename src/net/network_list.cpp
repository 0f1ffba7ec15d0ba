// NetworkList: every address is compared in its 16-byte IPv6 form, so one prefix test serves
// both families.
#include "net/network_list.hpp"

#include <charconv>

namespace kinetra::net {
namespace {

constexpr unsigned kMappedPrefix = 96;  // an IPv4 block's prefix grows by the ::ffff:0:0/96 part

std::array<std::uint8_t, 16> toBytes(const asio::ip::address& address) {
    if (address.is_v4()) {
        return asio::ip::make_address_v6(asio::ip::v4_mapped, address.to_v4()).to_bytes();
    }
    return address.to_v6().to_bytes();
}

bool matches(const NetworkList::Block& block, const std::array<std::uint8_t, 16>& bytes) {
    const unsigned whole = block.prefix / 8;
    for (unsigned i = 0; i < whole; ++i) {
        if (block.bytes[i] != bytes[i]) {
            return false;
        }
    }
    const unsigned rest = block.prefix % 8;
    if (rest == 0) {
        return true;
    }
    const auto mask = static_cast<std::uint8_t>(0xFF << (8 - rest));
    return (block.bytes[whole] & mask) == (bytes[whole] & mask);
}

}  // namespace

std::optional<NetworkList> NetworkList::parse(const std::vector<std::string>& items,
                                              std::string* error) {
    NetworkList list;
    for (const auto& item : items) {
        const auto slash = item.find('/');
        std::error_code failed;
        const auto address = asio::ip::make_address(item.substr(0, slash), failed);
        unsigned prefix = 0;
        bool good = !failed;
        const unsigned width = good && address.is_v4() ? 32 : 128;
        if (good && slash != std::string::npos) {
            const char* first = item.data() + slash + 1;
            const char* last = item.data() + item.size();
            const auto [end, code] = std::from_chars(first, last, prefix);
            good = first != last && code == std::errc() && end == last && prefix <= width;
        } else {
            prefix = width;
        }
        if (!good) {
            if (error != nullptr) {
                *error = item;
            }
            return std::nullopt;
        }
        list.blocks_.push_back(
            {toBytes(address), address.is_v4() ? prefix + kMappedPrefix : prefix});
    }
    return list;
}

bool NetworkList::contains(const asio::ip::address& address) const {
    const auto bytes = toBytes(address);
    for (const auto& block : blocks_) {
        if (matches(block, bytes)) {
            return true;
        }
    }
    return false;
}

bool NetworkList::contains(std::string_view address) const {
    std::error_code failed;
    const auto parsed = asio::ip::make_address(std::string(address), failed);
    return !failed && contains(parsed);
}

}  // namespace kinetra::net
