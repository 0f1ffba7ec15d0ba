// Device message framing: the length byte, big-endian fields and the trailing 16-bit sum.
// Runs on each bundle's command thread.
#include "bundle/device_message.hpp"

namespace kinetra::bundle {

std::int32_t truncateToInt32(double value) {
    // In range means the truncated value fits; the comparison is false for NaN.
    if (value > -2147483649.0 && value < 2147483648.0) {
        return static_cast<std::int32_t>(value);
    }
    return kScaledOutOfRange;
}

std::uint16_t checksumOf(core::ByteView message) {
    std::uint16_t sum = 0;
    for (const std::uint8_t byte : message) {
        sum = static_cast<std::uint16_t>(sum + byte);
    }
    return sum;
}

bool appendDeviceMessage(core::Bytes& out, std::uint8_t opcode, std::span<const Field> fields) {
    std::size_t length = kHeaderSize;
    for (const Field& field : fields) {
        length += static_cast<std::size_t>(field.width);
    }
    if (length > kMaxCountedLength) {
        return false;
    }
    const std::size_t start = out.size();
    out.push_back(static_cast<std::uint8_t>(length));
    out.push_back(opcode);
    for (const Field& field : fields) {
        switch (field.width) {
            case Field::Width::byte:
                out.push_back(static_cast<std::uint8_t>(field.value));
                break;
            case Field::Width::low16:
                core::appendU16BE(out, static_cast<std::uint16_t>(field.value));
                break;
            case Field::Width::full32:
                core::appendI32BE(out, field.value);
                break;
        }
    }
    core::appendU16BE(out, checksumOf(core::ByteView(out).subspan(start)));
    return true;
}

std::optional<core::Bytes> buildDeviceMessage(std::uint8_t opcode,
                                              std::initializer_list<Field> fields) {
    core::Bytes out;
    if (!appendDeviceMessage(out, opcode, std::span<const Field>(fields.begin(), fields.size()))) {
        return std::nullopt;
    }
    return out;
}

}  // namespace kinetra::bundle
