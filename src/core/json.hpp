// JSON as the whole process writes it: nlohmann::json (objects ordered by key), dumped compact.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace kinetra {

using json = nlohmann::json;

namespace core {

/// Compact text of `value`. Invalid UTF-8 inside strings (from a configuration file, serial
/// data or a client) is replaced instead of throwing, so a reply path never fails on it.
std::string dumpCompact(const json& value);

}  // namespace core
}  // namespace kinetra
