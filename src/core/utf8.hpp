// Well-formed UTF-8 (RFC 3629, Unicode table 3-7): what a WebSocket text message and a close
// reason must be, and what log escaping lets through. Pure; any thread.
#pragma once

#include <cstddef>
#include <string_view>

namespace kinetra::core {

/// The length (1 to 4) of the well-formed UTF-8 sequence that starts `text`; 0 when `text` is
/// empty or starts with a byte that begins none, a sequence cut short, an overlong form, a
/// surrogate or a code point beyond U+10FFFF.
std::size_t utf8SequenceLength(std::string_view text);

/// True when all of `text` is well-formed UTF-8 (the empty text is).
bool isValidUtf8(std::string_view text);

}  // namespace kinetra::core
