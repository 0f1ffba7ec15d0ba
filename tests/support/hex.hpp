// Bytes written as the protocol notes write them, "1A 03 00 1D C0", both ways. Any thread.
#pragma once

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <sstream>
#include <string>
#include <string_view>

#include "core/bytes.hpp"

namespace kinetra::testing {

/// Bytes written as "1A 03 00 1D C0".
inline std::string hex(core::ByteView data) {
    return fmt::format("{:02X}", fmt::join(data, " "));
}

/// "1A 03 00 1D C0" as bytes.
inline core::Bytes bytes(std::string_view text) {
    core::Bytes out;
    std::istringstream in{std::string(text)};
    unsigned value = 0;
    while (in >> std::hex >> value) {
        out.push_back(static_cast<std::uint8_t>(value));
    }
    return out;
}

}  // namespace kinetra::testing
