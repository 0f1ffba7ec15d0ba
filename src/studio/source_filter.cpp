#include "studio/source_filter.hpp"

#include "settings/security_settings.hpp"

namespace kinetra::studio {
namespace {

constexpr std::string_view kLoopbackOnly = "127.0.0.0/8, ::1/128";

}  // namespace

SourceFilter::SourceFilter(std::string_view cidrList) {
    auto entries = config::splitList(cidrList);
    if (entries.empty()) {
        entries = config::splitList(kLoopbackOnly);
    }
    // Item by item, so that one bad entry drops only itself and is named.
    std::vector<std::string> accepted;
    for (auto& entry : entries) {
        if (net::NetworkList::parse({entry})) {
            accepted.push_back(std::move(entry));
        } else {
            rejected_.push_back(std::move(entry));
        }
    }
    networks_ = net::NetworkList::parse(accepted).value_or(net::NetworkList{});
}

}  // namespace kinetra::studio
