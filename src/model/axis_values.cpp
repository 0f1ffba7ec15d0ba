// Axis value parsing for bundle commands; runs on each bundle's command thread.
#include "model/axis_values.hpp"

#include "model/json_numbers.hpp"

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
            // Numbers only: a boolean, text or null gets the library's type error.
            parsed.values[static_cast<std::size_t>(*slot)] = readFloat(value);
        }
    }
    return parsed;
}

}  // namespace kinetra::model
