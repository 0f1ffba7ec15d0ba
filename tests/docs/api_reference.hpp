// Loading the API reference (www/docs/api.json) for the tests that hold it against the code.
// Test thread only.
#pragma once

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

/// The endpoint whose path pattern is `path`; throws when the reference has none.
inline const json& endpoint(const std::string& path) {
    for (const auto& entry : apiReference().at("endpoints")) {
        if (entry.at("path") == path) {
            return entry;
        }
    }
    throw std::out_of_range("api.json documents no endpoint " + path);
}

/// The documented command `name` of `path`; throws when it is not documented.
inline const json& command(const std::string& path, const std::string& name) {
    for (const auto& entry : endpoint(path).at("commands")) {
        if (entry.at("name") == name) {
            return entry;
        }
    }
    throw std::out_of_range("api.json documents no command " + name + " on " + path);
}

/// The wire text of a documented reply.
inline std::string textOf(const json& reply) {
    return reply.at("text").get<std::string>();
}

inline std::set<std::string> documentedCommands(const std::string& path) {
    std::set<std::string> names;
    for (const auto& entry : endpoint(path).at("commands")) {
        names.insert(entry.at("name").get<std::string>());
    }
    return names;
}

}  // namespace kinetra::docs
