// Loading the API reference (www/docs/api.json) for the tests that hold it against the code.
// Test thread only.
#pragma once

#include <algorithm>
#include <fstream>
#include <iterator>
#include <set>
#include <stdexcept>
#include <string>

#include "core/json.hpp"

namespace kinetra::docs {

inline const json& apiReference() {
    static const json reference = [] {
        std::ifstream file(KINETRA_API_JSON);
        if (!file) {
            throw std::runtime_error("cannot open " KINETRA_API_JSON);
        }
        return json::parse(std::string(std::istreambuf_iterator<char>(file), {}));
    }();
    return reference;
}

/// The entry of `list` whose `key` is `value`; throws naming `what` when there is none.
inline const json& entryOf(const json& list, const char* key, const std::string& value,
                           const std::string& what) {
    const auto found =
        std::find_if(list.begin(), list.end(), [&](const json& e) { return e.at(key) == value; });
    if (found == list.end()) {
        throw std::out_of_range("api.json documents no " + what);
    }
    return *found;
}

inline const json& endpoint(const std::string& path) {
    return entryOf(apiReference().at("endpoints"), "path", path, "endpoint " + path);
}

inline const json& command(const std::string& path, const std::string& name) {
    return entryOf(endpoint(path).at("commands"), "name", name, "command " + name + " on " + path);
}

/// The member names of a JSON object.
inline std::set<std::string> keysOf(const json& object) {
    std::set<std::string> keys;
    for (const auto& [key, value] : object.items()) {
        keys.insert(key);
    }
    return keys;
}

/// The wire text of a documented reply.
inline std::string textOf(const json& reply) {
    return reply.at("text").get<std::string>();
}

}  // namespace kinetra::docs
