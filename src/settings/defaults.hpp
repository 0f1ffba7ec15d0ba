// The built-in configuration: what the server runs with when config.ini is missing, and the
// serial section, which always comes from here.
#pragma once

#include "core/json.hpp"

namespace kinetra::config {

/// Both sections, "server" and "serialConnection".
const json& fullDefault();
/// Only "serialConnection", with the same content as in fullDefault().
const json& serialDefault();

}  // namespace kinetra::config
