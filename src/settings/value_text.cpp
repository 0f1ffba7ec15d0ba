// Trimming and list splitting for configuration values; pure, any thread.
#include "settings/value_text.hpp"

#include <algorithm>

namespace kinetra::config {

std::string_view trim(std::string_view text, std::string_view blanks) {
    const auto first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

std::vector<std::string> splitList(std::string_view text) {
    std::vector<std::string> items;
    while (!text.empty()) {
        const auto comma = std::min(text.find(','), text.size());
        const auto item = trim(text.substr(0, comma));
        if (!item.empty()) {
            items.emplace_back(item);
        }
        text.remove_prefix(std::min(comma + 1, text.size()));
    }
    return items;
}

}  // namespace kinetra::config
