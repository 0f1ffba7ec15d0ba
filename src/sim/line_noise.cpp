// Noise for the emulated line. Pure apart from its own random state.
#include "sim/line_noise.hpp"

#include "link/frame_codec.hpp"

namespace kinetra::sim {
namespace {

constexpr std::size_t kShortestBurst = 3;  // long enough to be read as a frame with a sum
constexpr std::size_t kLongestBurst = 12;

void appendEscaped(core::Bytes& out, std::uint8_t byte) {
    if (byte == link::kEndByte) {
        out.insert(out.end(), {link::kEscapeByte, link::kEscapedEnd});
    } else if (byte == link::kEscapeByte) {
        out.insert(out.end(), {link::kEscapeByte, link::kEscapedEscape});
    } else {
        out.push_back(byte);
    }
}

}  // namespace

LineNoise::LineNoise(std::uint32_t seed) : random_(seed) {}

// Bytes that a decoder takes as they are: neither the end byte nor the escape byte.
std::uint8_t LineNoise::randomDataByte() {
    for (;;) {
        const auto byte = static_cast<std::uint8_t>(random_() & 0xFF);
        if (byte != link::kEndByte && byte != link::kEscapeByte) {
            return byte;
        }
    }
}

void LineNoise::appendBefore(core::Bytes& out, core::ByteView payload) {
    if (random_() % 2 == 0) {
        const auto length = kShortestBurst + random_() % (kLongestBurst - kShortestBurst + 1);
        core::Bytes burst(length);
        for (auto& byte : burst) {
            byte = randomDataByte();
        }
        // Random bytes whose last two happen to be the sum of the others would be a frame.
        const core::ByteView data{burst.data(), length - link::kChecksumSize};
        if (link::frameChecksum(data) == core::readU16BE(burst, data.size())) {
            burst.back() = burst.back() == 0x00 ? 0x01 : 0x00;
        }
        out.insert(out.end(), burst.begin(), burst.end());
        out.push_back(link::kEndByte);
    }
    if (random_() % 4 == 0) {
        const auto sum = static_cast<std::uint16_t>(link::frameChecksum(payload) + 1);
        for (const auto byte : payload) {
            appendEscaped(out, byte);
        }
        appendEscaped(out, static_cast<std::uint8_t>(sum >> 8));
        appendEscaped(out, static_cast<std::uint8_t>(sum & 0xFF));
        out.push_back(link::kEndByte);
    }
}

}  // namespace kinetra::sim
