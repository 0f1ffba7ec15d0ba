// escapeForLog: one pass over the text, a UTF-8 sequence at a time. Pure.
#include "core/log_text.hpp"

#include <algorithm>
#include <cstdint>

#include "core/utf8.hpp"

namespace kinetra::core {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

void appendEscaped(std::string& out, std::uint8_t byte) {
    switch (byte) {
        case '\n':
            out += "\\n";
            return;
        case '\r':
            out += "\\r";
            return;
        case '\t':
            out += "\\t";
            return;
        default:
            out += "\\x";
            out.push_back(kHexDigits[byte >> 4]);
            out.push_back(kHexDigits[byte & 0x0F]);
    }
}

// U+0080..U+009F, the C1 controls (CSI among them), are C2 80..C2 9F in UTF-8.
bool isC1Control(std::string_view sequence) {
    return sequence.size() == 2 && static_cast<std::uint8_t>(sequence[0]) == 0xC2 &&
           static_cast<std::uint8_t>(sequence[1]) <= 0x9F;
}

}  // namespace

std::string escapeForLog(std::string_view text, std::size_t limit) {
    std::string out;
    out.reserve(std::min(text.size(), limit) + 8);
    std::size_t at = 0;
    while (at < text.size()) {
        const std::string_view rest = text.substr(at);
        const std::size_t length = std::max<std::size_t>(utf8SequenceLength(rest), 1);
        if (at + length > limit) {
            out += "...";
            break;
        }
        const auto byte = static_cast<std::uint8_t>(rest.front());
        const std::string_view sequence = rest.substr(0, length);
        if (byte < 0x20 || byte == 0x7F) {
            appendEscaped(out, byte);
        } else if (byte == '\\') {
            out += "\\\\";
        } else if (utf8SequenceLength(rest) == 0 || isC1Control(sequence)) {
            for (const char c : sequence) {
                appendEscaped(out, static_cast<std::uint8_t>(c));
            }
        } else {
            out.append(sequence);
        }
        at += length;
    }
    return out;
}

}  // namespace kinetra::core
