// JSON-RPC 2.0 as the /v2 WebSocket speaks it: parsing one request frame, checking the params
// of each method, and the texts of responses, errors and notifications. Pure; called on the
// network worker threads.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "core/json.hpp"

namespace kinetra::gateway::rpc {

/// Error codes (the standard ones, and the one of a call without its reply in time).
enum class ErrorCode : int {
    parseError = -32700,
    invalidRequest = -32600,
    methodNotFound = -32601,
    invalidParams = -32602,
    serverError = -32000,
};

/// The standard message of `code` ("Parse error", ...).
std::string_view errorMessage(ErrorCode code);

/// A request as received. `id` is echoed as given, whatever its JSON type; a request without
/// an id is a notification and gets no response.
struct Request {
    std::optional<json> id;
    std::string method;
    json params;  // an object (absent params: an empty one)
};

/// A request that is not one: the error code and the id to answer with (null when unknown).
struct Rejection {
    ErrorCode code;
    json id;
};

/// Parses one text frame: not JSON -> parseError (id null); not a request object (jsonrpc
/// "2.0", a string method, params an object when given; a batch is not taken) -> invalidRequest.
std::variant<Request, Rejection> parseRequest(std::string_view text);

/// params of "call".
struct CallParams {
    std::string path;     // "/v1/..."
    std::string request;  // compact JSON sent to the service
};
/// params of "subscribe".
struct SubscribeParams {
    enum class Topic { status, links, health } topic;
    std::string linkId;             // status and health
    std::optional<double> maxRate;  // messages per second, > 0
};
/// params of "unsubscribe".
struct UnsubscribeParams {
    std::int64_t subscription;
};

/// Each method's params, or the reason they are invalid.
std::variant<CallParams, std::string> callParams(const json& params);
std::variant<SubscribeParams, std::string> subscribeParams(const json& params);
std::variant<UnsubscribeParams, std::string> unsubscribeParams(const json& params);

/// {"id":ID,"jsonrpc":"2.0","result":RESULT}; `result` is JSON text put in unchanged.
std::string resultText(const json& id, std::string_view result);
/// {"error":{"code":C,"data":DATA,"message":M},"id":ID,"jsonrpc":"2.0"}: M is `message`, or
/// errorMessage(code) when empty; no data when `data` is empty.
std::string errorText(const json& id, ErrorCode code, std::string_view message = {},
                      std::string_view data = {});
/// {"jsonrpc":"2.0","method":METHOD,"params":PARAMS}; `params` is JSON text put in unchanged.
std::string notificationText(std::string_view method, std::string_view params);

}  // namespace kinetra::gateway::rpc
