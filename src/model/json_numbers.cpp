// Number reads for request members, each type checked before it is converted; runs on the
// caller's thread.
#include "model/json_numbers.hpp"

#include <cmath>
#include <limits>
#include <string>

namespace kinetra::model {
namespace {

[[noreturn]] void overflow(const json& value) {
    throw json::out_of_range::create(406, "number overflow reading " + value.dump(), &value);
}

// The library itself converts a boolean to a number without complaint; a request never means
// one as a number.
void requireNumber(const json& value) {
    if (!value.is_number()) {
        throw json::type_error::create(
            302, std::string("type must be number, but is ") + value.type_name(), &value);
    }
}

}  // namespace

double readNumber(const json& value) {
    requireNumber(value);
    return value.get<double>();
}

std::int32_t readInt32(const json& value) {
    requireNumber(value);
    constexpr auto kMin = std::numeric_limits<std::int32_t>::min();
    constexpr auto kMax = std::numeric_limits<std::int32_t>::max();
    if (value.is_number_unsigned()) {
        const auto number = value.get<std::uint64_t>();
        if (number > static_cast<std::uint64_t>(kMax)) {
            overflow(value);
        }
        return static_cast<std::int32_t>(number);
    }
    if (value.is_number_integer()) {
        const auto number = value.get<std::int64_t>();
        if (number < kMin || number > kMax) {
            overflow(value);
        }
        return static_cast<std::int32_t>(number);
    }
    const double number = std::trunc(value.get<double>());
    if (!(number >= kMin && number <= kMax)) {
        overflow(value);
    }
    return static_cast<std::int32_t>(number);
}

float readFloat(const json& value) {
    requireNumber(value);
    if (!value.is_number_float()) {
        return value.get<float>();  // an integer converts directly, as it always did
    }
    const double number = value.get<double>();
    constexpr double kMax = std::numeric_limits<float>::max();
    if (number > kMax || number < -kMax) {
        constexpr float kInfinity = std::numeric_limits<float>::infinity();
        return number > 0 ? kInfinity : -kInfinity;
    }
    return static_cast<float>(number);
}

}  // namespace kinetra::model
