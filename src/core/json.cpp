#include "core/json.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace kinetra::core {

std::string dumpCompact(const json& value) {
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

json floatNumber(float value) {
    if (!std::isfinite(value)) {
        return json(value);  // written as null
    }
    char text[32];
    const auto [end, error] = std::to_chars(text, text + sizeof(text) - 1, value);
    if (error != std::errc()) {
        return json(value);
    }
    *end = '\0';
    return json(std::strtod(text, nullptr));
}

}  // namespace kinetra::core
