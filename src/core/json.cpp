#include "core/json.hpp"

namespace kinetra::core {

std::string dumpCompact(const json& value) {
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace kinetra::core
