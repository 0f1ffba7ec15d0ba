// Big-endian field access for the wire formats. Readers take an offset that the caller has
// already checked against the span's size (checked again in debug builds); writers append.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kinetra::core {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

constexpr std::uint16_t readU16BE(ByteView bytes, std::size_t offset) {
    assert(offset + 2 <= bytes.size());
    return static_cast<std::uint16_t>((bytes[offset] << 8) | bytes[offset + 1]);
}

constexpr std::int16_t readI16BE(ByteView bytes, std::size_t offset) {
    return static_cast<std::int16_t>(readU16BE(bytes, offset));
}

constexpr std::uint32_t readU32BE(ByteView bytes, std::size_t offset) {
    assert(offset + 4 <= bytes.size());
    return (std::uint32_t{bytes[offset]} << 24) | (std::uint32_t{bytes[offset + 1]} << 16) |
           (std::uint32_t{bytes[offset + 2]} << 8) | std::uint32_t{bytes[offset + 3]};
}

constexpr std::int32_t readI32BE(ByteView bytes, std::size_t offset) {
    return static_cast<std::int32_t>(readU32BE(bytes, offset));
}

inline void appendU16BE(Bytes& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
}

inline void appendU32BE(Bytes& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<std::uint8_t>((value >> shift) & 0xFF));
    }
}

inline void appendI32BE(Bytes& out, std::int32_t value) {
    appendU32BE(out, static_cast<std::uint32_t>(value));
}

}  // namespace kinetra::core
