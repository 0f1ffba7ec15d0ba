// JSON-RPC texts are built by concatenation around the parts that are already JSON text (a
// service's reply, a status body), so those are passed on as they are, never parsed again.
#include "gateway/json_rpc.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

namespace kinetra::gateway::rpc {
namespace {

std::string dumpSafe(const json& value) {
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace

std::string_view errorMessage(ErrorCode code) {
    switch (code) {
        case ErrorCode::parseError:
            return "Parse error";
        case ErrorCode::invalidRequest:
            return "Invalid Request";
        case ErrorCode::methodNotFound:
            return "Method not found";
        case ErrorCode::invalidParams:
            return "Invalid params";
        case ErrorCode::serverError:
            break;
    }
    return "Server error";
}

std::variant<Request, Rejection> parseRequest(std::string_view text) {
    json parsed = json::parse(text, nullptr, false);
    if (parsed.is_discarded()) {
        return Rejection{ErrorCode::parseError, nullptr};
    }
    if (!parsed.is_object()) {
        return Rejection{ErrorCode::invalidRequest, nullptr};
    }
    Request request;
    if (const auto id = parsed.find("id"); id != parsed.end()) {
        request.id = *id;
    }
    const json answerId = request.id.value_or(nullptr);
    const auto version = parsed.find("jsonrpc");
    const auto method = parsed.find("method");
    if (version == parsed.end() || *version != "2.0" || method == parsed.end() ||
        !method->is_string()) {
        return Rejection{ErrorCode::invalidRequest, answerId};
    }
    request.method = method->get<std::string>();
    if (const auto params = parsed.find("params"); params != parsed.end()) {
        if (!params->is_object()) {
            // By-position params are valid JSON-RPC, but no method here takes them.
            return Rejection{
                params->is_array() ? ErrorCode::invalidParams : ErrorCode::invalidRequest,
                answerId};
        }
        request.params = std::move(*params);
    } else {
        request.params = json::object();
    }
    return request;
}

std::variant<CallParams, std::string> callParams(const json& params) {
    const auto path = params.find("path");
    if (path == params.end() || !path->is_string() ||
        !path->get_ref<const std::string&>().starts_with("/")) {
        return std::string("path must be a string starting with /");
    }
    const auto request = params.find("request");
    if (request != params.end() && !request->is_object()) {
        return std::string("request must be an object");
    }
    return CallParams{path->get<std::string>(),
                      request == params.end() ? "{}" : dumpSafe(*request)};
}

std::variant<SubscribeParams, std::string> subscribeParams(const json& params) {
    const auto topic = params.find("topic");
    using Topic = SubscribeParams::Topic;
    const std::pair<std::string_view, Topic> topics[] = {
        {"status", Topic::status}, {"links", Topic::links}, {"health", Topic::health}};
    const auto named = std::find_if(std::begin(topics), std::end(topics), [&](const auto& entry) {
        return topic != params.end() && *topic == entry.first;
    });
    if (named == std::end(topics)) {
        return std::string(R"(topic must be "status", "links" or "health")");
    }
    SubscribeParams result{named->second, {}, std::nullopt};
    if (result.topic != Topic::links) {
        const auto linkId = params.find("linkID");
        if (linkId == params.end() || !linkId->is_string() ||
            linkId->get_ref<const std::string&>().empty()) {
            return std::string("linkID must be a non-empty string");
        }
        result.linkId = linkId->get<std::string>();
    }
    if (const auto rate = params.find("maxRate"); rate != params.end()) {
        if (!rate->is_number() || !(rate->get<double>() > 0) ||
            !std::isfinite(rate->get<double>())) {
            return std::string("maxRate must be a number above 0");
        }
        result.maxRate = rate->get<double>();
    }
    return result;
}

std::variant<UnsubscribeParams, std::string> unsubscribeParams(const json& params) {
    const auto subscription = params.find("subscription");
    if (subscription == params.end() || !subscription->is_number_integer()) {
        return std::string("subscription must be an integer");
    }
    return UnsubscribeParams{subscription->get<std::int64_t>()};
}

std::string resultText(const json& id, std::string_view result) {
    std::string text = R"({"id":)";
    text += dumpSafe(id);
    text += R"(,"jsonrpc":"2.0","result":)";
    text += result;
    text += '}';
    return text;
}

std::string errorText(const json& id, ErrorCode code, std::string_view message,
                      std::string_view data) {
    json error{{"code", static_cast<int>(code)},
               {"message", message.empty() ? errorMessage(code) : message}};
    if (!data.empty()) {
        error["data"] = data;
    }
    return dumpSafe(json{{"error", std::move(error)}, {"id", id}, {"jsonrpc", "2.0"}});
}

std::string notificationText(std::string_view method, std::string_view params) {
    std::string text = R"({"jsonrpc":"2.0","method":)";
    text += dumpSafe(json(method));
    text += R"(,"params":)";
    text += params;
    text += '}';
    return text;
}

}  // namespace kinetra::gateway::rpc
