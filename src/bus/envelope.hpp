// The JSON envelope every service speaks: a request is an object with a string "command" and
// its parameters; a reply is an object with "result" ("ok" or a short error text) and, where
// there is payload, "data".
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/json.hpp"

namespace kinetra::bus {

inline constexpr std::string_view kOk = "ok";

/// {"result": result}
inline json resultReply(std::string_view result) {
    return json{{"result", result}};
}

/// Compact text of {"result": result}.
inline std::string resultText(std::string_view result) {
    return core::dumpCompact(resultReply(result));
}

/// {"data": data, "result": "ok"}
inline json dataReply(json data) {
    return json{{"data", std::move(data)}, {"result", kOk}};
}

/// The request's "command" when the request is an object holding a string command.
inline std::optional<std::string> commandOf(const json& request) {
    if (!request.is_object()) {
        return std::nullopt;
    }
    const auto found = request.find("command");
    if (found == request.end() || !found->is_string()) {
        return std::nullopt;
    }
    return found->get<std::string>();
}

/// Parses a request text; nothing when it is not JSON.
inline std::optional<json> parseRequest(std::string_view text) {
    json parsed = json::parse(text, nullptr, false);
    if (parsed.is_discarded()) {
        return std::nullopt;
    }
    return parsed;
}

/// The one command every transport and every bundle treats as a stop.
inline constexpr std::string_view kMotionAbort = "motionAbort";

/// True when `requestText` is a motionAbort request, read as the bundle's planner reads it
/// (parsed, escapes and all), so that no spelling the planner accepts slips past.
inline bool isMotionAbort(std::string_view requestText) {
    const auto parsed = parseRequest(requestText);
    return parsed && commandOf(*parsed) == kMotionAbort;
}

}  // namespace kinetra::bus
