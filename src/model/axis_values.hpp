// The axis values a bundle command carries ("headPan", "slide", "craneMaxPan", ...), parsed out
// of the request on the bundle's command thread.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "core/json.hpp"
#include "model/axis_slot.hpp"

namespace kinetra::model {

/// Up to six given axis values as 32-bit floats, indexed by slot (zoom is never given).
struct AxisValues {
    std::array<std::optional<float>, kAxisSlotCount> values;

    bool has(AxisSlot slot) const { return values[static_cast<std::size_t>(slot)].has_value(); }
    /// The given value, or 0 for an axis that was not given.
    float valueOr0(AxisSlot slot) const {
        return values[static_cast<std::size_t>(slot)].value_or(0.0f);
    }
    /// Bit k set when the value of slot k was given.
    std::uint8_t givenSet() const;
};

/// Reads every member of `request` whose key is an axis request key with readFloat: numbers
/// only, any other type (a boolean too) throws the JSON library's type error ("type must be
/// number, but is ..."). Other members are ignored; a request that is not an object gives no
/// values.
AxisValues parseAxisValues(const json& request);

}  // namespace kinetra::model
