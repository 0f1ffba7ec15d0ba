// The device message every command becomes: length byte, opcode, big-endian parameters and a
// 16-bit sum. Pure functions; called on each bundle's command thread.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>

#include "core/bytes.hpp"

namespace kinetra::bundle {

/// Byte 0 counts the bytes before the checksum, itself included; the checksum follows.
inline constexpr std::size_t kLengthOffset = 0;
inline constexpr std::size_t kOpcodeOffset = 1;
inline constexpr std::size_t kHeaderSize = 2;    // length byte and opcode
inline constexpr std::size_t kChecksumSize = 2;  // big-endian sum of all bytes before it
inline constexpr std::size_t kMaxCountedLength = 0xFF;
inline constexpr std::size_t kMaxMessageSize = kMaxCountedLength + kChecksumSize;
/// What a scaled float becomes when it does not fit 32 bits (or is not a number).
inline constexpr std::int32_t kScaledOutOfRange = INT32_MIN;

/// Truncates toward zero to 32 bits; out of range or NaN gives 0x80000000.
std::int32_t truncateToInt32(double value);
/// A float parameter: `value` times `factor` in double precision, truncated to 32 bits.
inline std::int32_t scaled(float value, double factor) {
    return truncateToInt32(static_cast<double>(value) * factor);
}

/// One parameter: a byte, the low 16 bits of a value, or all 32 bits, written big-endian.
struct Field {
    enum class Width : std::uint8_t { byte = 1, low16 = 2, full32 = 4 };
    Width width;
    std::int32_t value;
};
constexpr Field byteField(std::uint8_t value) {
    return {Field::Width::byte, value};
}
constexpr Field field16(std::int32_t value) {
    return {Field::Width::low16, value};
}
constexpr Field field32(std::int32_t value) {
    return {Field::Width::full32, value};
}

/// Appends the message for `opcode` and `fields` to `out`. A message whose length would not
/// fit its length byte is refused: false, and `out` is left as it was.
bool appendDeviceMessage(core::Bytes& out, std::uint8_t opcode, std::span<const Field> fields);
/// The message for `opcode` and `fields`, or nothing when it is too long for its length byte.
std::optional<core::Bytes> buildDeviceMessage(std::uint8_t opcode,
                                              std::initializer_list<Field> fields);

/// The 16-bit sum the device checks: all bytes of `message` added modulo 65536.
std::uint16_t checksumOf(core::ByteView message);

}  // namespace kinetra::bundle
