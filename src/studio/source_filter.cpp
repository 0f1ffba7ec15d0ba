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
    // Item by item, so that one bad entry drops only itself and is named.
    std::vector<std::string> accepted;
    while (!cidrList.empty()) {
        const auto comma = cidrList.find(',');
        std::string entry(trim(cidrList.substr(0, comma)));
        cidrList =
            comma == std::string_view::npos ? std::string_view{} : cidrList.substr(comma + 1);
        if (entry.empty()) {
            continue;
        }
        if (net::NetworkList::parse({entry})) {
            accepted.push_back(std::move(entry));
        } else {
            rejected_.push_back(std::move(entry));
        }
    }
    networks_ = net::NetworkList::parse(accepted).value_or(net::NetworkList{});
}

}  // namespace kinetra::studio
