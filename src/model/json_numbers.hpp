// Numeric members of requests and records, read without the undefined conversion of an
// out-of-range floating number. Called on the command and service threads that parse JSON.
#pragma once

#include <cstdint>

#include "core/json.hpp"

namespace kinetra::model {

/// A boolean or number as a 32-bit integer (floating numbers truncated toward zero). Any other
/// type throws the JSON library's type error ("type must be number, but is ..."); a number
/// outside the 32-bit range throws its out-of-range error 406 ("number overflow ...").
std::int32_t readInt32(const json& value);

/// A boolean or number as a 32-bit float; a number beyond the float range becomes an infinity of
/// its sign (instead of an undefined conversion). Any other type throws the JSON library's type
/// error ("type must be number, but is ...").
float readFloat(const json& value);

}  // namespace kinetra::model
