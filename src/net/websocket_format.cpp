// WebSocketFormat: frame decoding and building per RFC 6455 section 5. Pure.
#include "net/websocket_format.hpp"

#include "core/bytes.hpp"

namespace kinetra::net {

namespace {

// First byte: FIN, three reserved bits, opcode. Second byte: MASK, 7-bit length.
constexpr std::uint8_t kFinBit = 0x80;
constexpr std::uint8_t kReservedBits = 0x70;
constexpr std::uint8_t kOpcodeBits = 0x0F;
constexpr std::uint8_t kMaskBit = 0x80;
constexpr std::uint8_t kLengthBits = 0x7F;
constexpr std::uint8_t kLength16 = 126;  // a 16-bit length follows
constexpr std::uint8_t kLength64 = 127;  // a 64-bit length follows
constexpr std::size_t kMaskSize = 4;

// Close codes a peer may send, as inclusive ranges.
struct CodeRange {
    std::uint16_t first, last;
};
constexpr CodeRange kReceivableCloseCodes[] = {{1000, 1003}, {1007, 1011}, {3000, 4999}};

bool isControl(WebSocketFormat::FrameType type) {
    return (static_cast<std::uint8_t>(type) & 0x08) != 0;
}

}  // namespace

WebSocketFormat::DecodeResult WebSocketFormat::decodeFrame(std::span<const std::uint8_t> input,
                                                           std::uint64_t maxPayload) {
    DecodeResult result;
    if (input.size() < 2) {
        return result;
    }
    const std::uint8_t first = input[0];
    const std::uint8_t second = input[1];
    const auto type = static_cast<FrameType>(first & kOpcodeBits);
    // No extension is negotiated, so reserved bits must be clear; clients must mask (5.1).
    if ((first & kReservedBits) != 0 || !kFrameTypeNames.contains(type) ||
        (second & kMaskBit) == 0) {
        result.status = DecodeStatus::protocolError;
        return result;
    }
    const bool fin = (first & kFinBit) != 0;
    std::uint64_t length = second & kLengthBits;
    if (isControl(type) && (!fin || length > kMaxControlPayload)) {
        result.status = DecodeStatus::protocolError;
        return result;
    }

    std::size_t header = 2;
    if (length == kLength16) {
        if (input.size() < header + 2) {
            return result;
        }
        length = core::readU16BE(input, header);
        header += 2;
    } else if (length == kLength64) {
        if (input.size() < header + 8) {
            return result;
        }
        length = (std::uint64_t{core::readU32BE(input, header)} << 32) |
                 core::readU32BE(input, header + 4);
        header += 8;
        if ((length >> 63) != 0) {  // the most significant bit must be 0
            result.status = DecodeStatus::protocolError;
            return result;
        }
    }
    if (!isControl(type) && length > maxPayload) {
        result.status = DecodeStatus::tooLarge;
        return result;
    }
    const std::size_t maskOffset = header;
    header += kMaskSize;
    if (input.size() < header || input.size() - header < length) {
        return result;
    }

    const auto payloadSize = static_cast<std::size_t>(length);
    const auto payload = input.subspan(header, payloadSize);
    const auto mask = input.subspan(maskOffset, kMaskSize);
    result.frame.payload.resize(payloadSize);
    for (std::size_t i = 0; i < payloadSize; ++i) {
        result.frame.payload[i] = static_cast<char>(payload[i] ^ mask[i % kMaskSize]);
    }
    result.frame.fin = fin;
    result.frame.type = type;
    result.status = DecodeStatus::frame;
    result.consumed = header + payloadSize;
    return result;
}

void WebSocketFormat::appendFrame(std::string& out, FrameType type, std::string_view payload,
                                  bool fin) {
    out.push_back(static_cast<char>((fin ? kFinBit : 0) | static_cast<std::uint8_t>(type)));
    const std::uint64_t length = payload.size();
    int lengthBytes = 0;
    if (length < kLength16) {
        out.push_back(static_cast<char>(length));
    } else if (length <= 0xFFFF) {
        out.push_back(static_cast<char>(kLength16));
        lengthBytes = 2;
    } else {
        out.push_back(static_cast<char>(kLength64));
        lengthBytes = 8;
    }
    for (int shift = 8 * (lengthBytes - 1); shift >= 0; shift -= 8) {
        out.push_back(static_cast<char>((length >> shift) & 0xFF));
    }
    out.append(payload);
}

std::string WebSocketFormat::frame(FrameType type, std::string_view payload) {
    std::string out;
    out.reserve(payload.size() + kMaxHeaderSize);
    appendFrame(out, type, payload);
    return out;
}

std::string WebSocketFormat::closePayload(CloseCode code, std::string_view reason) {
    const auto value = static_cast<std::uint16_t>(code);
    std::string payload{static_cast<char>(value >> 8), static_cast<char>(value & 0xFF)};
    // A control frame carries at most 125 bytes.
    payload.append(reason.substr(0, 123));
    return payload;
}

bool WebSocketFormat::isReceivableCloseCode(std::uint16_t code) {
    for (const auto& [first, last] : kReceivableCloseCodes) {
        if (code >= first && code <= last) {
            return true;
        }
    }
    return false;
}

}  // namespace kinetra::net
