// The program's identity as logged at start and shown to users.
#pragma once

#include <string_view>

namespace kinetra::core {

/// Source revision, logged with its double quotes.
inline constexpr std::string_view kRevision = "\"473c2ee\"";
inline constexpr std::string_view kVersionMajor = "0";
inline constexpr std::string_view kVersionMinor = "9";
inline constexpr std::string_view kVersionPatch = "8";
inline constexpr std::string_view kVersionText = "0.9.8";

}  // namespace kinetra::core
