// Client-supplied text (paths, methods, Host, Origin, command names) made safe for one log line:
// a newline in a path must not start a forged line, nor an escape sequence drive the terminal
// that shows the log. Pure; any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kinetra::core {

/// Longest part of a client's text that goes into a log line, in bytes.
inline constexpr std::size_t kLogTextLimit = 200;

/// `text` for a log line: control characters (C0, DEL, and C1 written in UTF-8) and bytes that
/// are not well-formed UTF-8 as \xNN (\n, \r, \t as such), a backslash doubled, everything else
/// unchanged; beyond `limit` bytes of `text` cut at a character boundary, with "..." behind.
std::string escapeForLog(std::string_view text, std::size_t limit = kLogTextLimit);

}  // namespace kinetra::core
