// The config.ini reader: INI text in, the JSON value stored as the "server" section out.
// Pure; runs once on the main thread at start.
#pragma once

#include <string_view>

#include "core/json.hpp"

namespace kinetra::config {

/// Parses INI bytes into {"section": {"key": "value", ...} | null, ...}, or null when the text
/// holds no section header. Sections and keys are lower-cased; values keep their text as is.
json parseIni(std::string_view bytes);

}  // namespace kinetra::config
