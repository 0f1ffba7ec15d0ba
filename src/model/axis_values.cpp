// Axis value parsing for bundle commands; runs on each bundle's command thread.
#include "model/axis_values.hpp"

namespace kinetra::model {

std::uint8_t AxisValues::givenSet() const {
    std::uint8_t set = 0;
    for (const AxisSlot slot : kAllAxisSlots) {
        if (has(slot)) {
            set |= bitOf(slot);
        }
    }
    return set;
}

AxisValues parseAxisValues(const json& request) {
    AxisValues parsed;
    if (!request.is_object()) {
        return parsed;
    }
    for (const auto& [key, value] : request.items()) {
        if (const auto slot = kAxisRequestKeyTable.find(key)) {
            // The library's own conversion: booleans count as numbers, and its type error is
            // the text clients have always seen.
            parsed.values[static_cast<std::size_t>(*slot)] = value.get<float>();
        }
    }
    return parsed;
}

}  // namespace kinetra::model
