// Range-checked integer reads for JSON members; runs on the caller's thread.
#include "model/json_numbers.hpp"

#include <cmath>
#include <limits>
#include <string>

namespace kinetra::model {
namespace {

[[noreturn]] void overflow(const json& value) {
    throw json::out_of_range::create(406, "number overflow reading " + value.dump(), &value);
}

}  // namespace

std::int32_t readInt32(const json& value) {
    constexpr auto kMin = std::numeric_limits<std::int32_t>::min();
    constexpr auto kMax = std::numeric_limits<std::int32_t>::max();
    switch (value.type()) {
        case json::value_t::number_integer: {
            const auto number = value.get<std::int64_t>();
            if (number < kMin || number > kMax) {
                overflow(value);
            }
            return static_cast<std::int32_t>(number);
        }
        case json::value_t::number_unsigned: {
            const auto number = value.get<std::uint64_t>();
            if (number > static_cast<std::uint64_t>(kMax)) {
                overflow(value);
            }
            return static_cast<std::int32_t>(number);
        }
        case json::value_t::number_float: {
            const double number = std::trunc(value.get<double>());
            if (!(number >= kMin && number <= kMax)) {
                overflow(value);
            }
            return static_cast<std::int32_t>(number);
        }
        default:
            // Booleans convert; every other type gets the library's own type error.
            return value.get<std::int32_t>();
    }
}

float readFloat(const json& value) {
    if (value.is_number_float()) {
        const double number = value.get<double>();
        constexpr double kMax = std::numeric_limits<float>::max();
        if (number > kMax || number < -kMax) {
            constexpr float kInfinity = std::numeric_limits<float>::infinity();
            return number > 0 ? kInfinity : -kInfinity;
        }
        return static_cast<float>(number);
    }
    return value.get<float>();
}

}  // namespace kinetra::model
