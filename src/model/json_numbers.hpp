// The one reading of a number in a request: bundle commands, link commands and the device
// service's link records all read their numbers here, so a boolean, a text or a null is refused
// the same way everywhere. Called on the command and service threads that parse JSON.
#pragma once

#include <cstdint>

#include "core/json.hpp"

namespace kinetra::model {

/// A JSON integer, unsigned integer or float as a double. A boolean, text, null, array or object
/// throws the JSON library's type error 302 ("type must be number, but is boolean"): `true` is
/// no full deflection. A missing member read as null is refused the same way.
double readNumber(const json& value);

/// A number as a 32-bit integer (floats truncated toward zero). Non-numbers throw as
/// readNumber does; a number outside the 32-bit range throws the library's out-of-range error
/// 406 ("number overflow ...").
std::int32_t readInt32(const json& value);

/// A number as a 32-bit float; a number beyond the float range becomes an infinity of its sign
/// (instead of an undefined conversion). Non-numbers throw as readNumber does.
float readFloat(const json& value);

}  // namespace kinetra::model
