// Reading configuration values as text: blanks trimmed, comma-separated lists split. Pure; shared
// by the INI reader, the settings readers and the HTTP parser's header values.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kinetra::config {

/// Spaces and tabs: what surrounds a value or a list item.
inline constexpr std::string_view kBlanks = " \t";

/// `text` without the characters of `blanks` at either end; a view into `text`.
std::string_view trim(std::string_view text, std::string_view blanks = kBlanks);

/// Splits a comma-separated list, trimming blanks and dropping empty items.
std::vector<std::string> splitList(std::string_view text);

}  // namespace kinetra::config
