// The well-formed byte sequences as rows of lead byte range, length and second byte range; the
// third and fourth bytes are always 80..BF. Pure.
#include "core/utf8.hpp"

#include <array>
#include <cstdint>

namespace kinetra::core {
namespace {

struct Row {
    std::uint8_t leadLow, leadHigh;
    std::size_t length;
    std::uint8_t secondLow, secondHigh;
};

// Unicode 15, table 3-7. E0 and F0 exclude overlong forms, ED the surrogates, F4 what lies
// beyond U+10FFFF; C0, C1 and F5..FF begin nothing.
constexpr std::array<Row, 9> kRows{{
    {0x00, 0x7F, 1, 0x00, 0x00},
    {0xC2, 0xDF, 2, 0x80, 0xBF},
    {0xE0, 0xE0, 3, 0xA0, 0xBF},
    {0xE1, 0xEC, 3, 0x80, 0xBF},
    {0xED, 0xED, 3, 0x80, 0x9F},
    {0xEE, 0xEF, 3, 0x80, 0xBF},
    {0xF0, 0xF0, 4, 0x90, 0xBF},
    {0xF1, 0xF3, 4, 0x80, 0xBF},
    {0xF4, 0xF4, 4, 0x80, 0x8F},
}};

constexpr std::uint8_t kContinuationLow = 0x80;
constexpr std::uint8_t kContinuationHigh = 0xBF;

}  // namespace

std::size_t utf8SequenceLength(std::string_view text) {
    if (text.empty()) {
        return 0;
    }
    const auto byte = [&](std::size_t at) { return static_cast<std::uint8_t>(text[at]); };
    for (const Row& row : kRows) {
        if (byte(0) < row.leadLow || byte(0) > row.leadHigh) {
            continue;
        }
        if (row.length == 1) {
            return 1;
        }
        if (text.size() < row.length || byte(1) < row.secondLow || byte(1) > row.secondHigh) {
            return 0;
        }
        for (std::size_t at = 2; at < row.length; ++at) {
            if (byte(at) < kContinuationLow || byte(at) > kContinuationHigh) {
                return 0;
            }
        }
        return row.length;
    }
    return 0;
}

bool isValidUtf8(std::string_view text) {
    while (!text.empty()) {
        // Plain ASCII is by far the common case: skip it without the table.
        if (static_cast<std::uint8_t>(text.front()) < 0x80) {
            text.remove_prefix(1);
            continue;
        }
        const std::size_t length = utf8SequenceLength(text);
        if (length == 0) {
            return false;
        }
        text.remove_prefix(length);
    }
    return true;
}

}  // namespace kinetra::core
