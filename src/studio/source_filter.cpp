#include "studio/source_filter.hpp"

namespace kinetra::studio {
namespace {

constexpr std::string_view kLoopbackOnly = "127.0.0.0/8, ::1/128";

std::string_view trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

}  // namespace

SourceFilter::SourceFilter(std::string_view cidrList) {
    if (trim(cidrList).empty()) {
        cidrList = kLoopbackOnly;
    }
    while (!cidrList.empty()) {
        const auto comma = cidrList.find(',');
        const std::string entry(trim(cidrList.substr(0, comma)));
        cidrList =
            comma == std::string_view::npos ? std::string_view{} : cidrList.substr(comma + 1);
        if (entry.empty()) {
            continue;
        }
        std::error_code error;
        const std::string text = entry.find('/') != std::string::npos   ? entry
                                 : entry.find(':') != std::string::npos ? entry + "/128"
                                                                        : entry + "/32";
        if (text.find(':') != std::string::npos) {
            const auto network = asio::ip::make_network_v6(text, error);
            if (!error) {
                v6_.push_back(network.canonical());
                continue;
            }
        } else {
            const auto network = asio::ip::make_network_v4(text, error);
            if (!error) {
                v4_.push_back(network.canonical());
                continue;
            }
        }
        rejected_.push_back(entry);
    }
}

bool SourceFilter::allows(const asio::ip::address& source) const {
    if (source.is_v6() && source.to_v6().is_v4_mapped()) {
        return allows(asio::ip::make_address_v4(asio::ip::v4_mapped, source.to_v6()));
    }
    if (source.is_v4()) {
        const auto host = asio::ip::network_v4(source.to_v4(), 32);
        for (const auto& network : v4_) {
            if (host.is_subnet_of(network) || host == network) {
                return true;
            }
        }
        return false;
    }
    const auto host = asio::ip::network_v6(source.to_v6(), 128);
    for (const auto& network : v6_) {
        if (host.is_subnet_of(network) || host == network) {
            return true;
        }
    }
    return false;
}

}  // namespace kinetra::studio
