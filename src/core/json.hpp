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

/// A 32-bit float as the JSON number a reader expects: the shortest decimal that reads back as
/// the same float, so 0.85f is written 0.85 rather than 0.8500000238418579.
json floatNumber(float value);

}  // namespace core
}  // namespace kinetra
