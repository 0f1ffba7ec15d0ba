// The gateway's own replies, log texts and the one HTTP response form it sends. Pure; used by
// the worker threads that answer requests and by the thread that starts the listeners.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "net/trust_policy.hpp"

namespace kinetra::gateway {

/// Replies the gateway builds itself; every other reply is the service's text, unchanged.
inline constexpr std::string_view kOfflineReply = R"({"result":"offline"})";
inline constexpr std::string_view kNotProcessedReply =
    R"({"result":"request could not be processed"})";
inline constexpr std::string_view kInvalidPathReply = R"({"result":"invalid path"})";
inline constexpr std::string_view kTooLargeReply = R"({"result":"request too large"})";
/// A /v1 WebSocket message still waiting in the gateway when the client's motionAbort overtook
/// it: the bundle's own answer to what a stop cancels.
inline constexpr std::string_view kCancelledByStopReply = R"({"result":"cancelled by stop"})";

/// Log texts (warning level).
inline constexpr std::string_view kOfflineLog = "{0} is offline.";
inline constexpr std::string_view kSendFailedLog = "Could not send request to zmq socket.";
inline constexpr std::string_view kNoResponseLog = "Could not get response from zmq socket.";
/// Info level: a connection closed while it held bundles jogging; {0} its address, {1} linkID.
inline constexpr std::string_view kJogStopLog = "Client {0} gone: stopping the jog on {1}.";

/// Reason of the close frame (1013, try again later) a second client of a /v1 path gets.
inline constexpr std::string_view kPathTakenReason = "another client holds this path";

/// The bind failure: logged through "{0}" and shown as the question's first line.
inline constexpr std::string_view kBindErrorText =
    "HTTP Server Error: could not bind to given port. ";
inline constexpr std::string_view kOpenConfigurationQuestion =
    "Do you want to close SDK and open configuration?";

/// The one response form of the HTTP gateway: status 200 and, in byte order of their names,
/// Access-Control-Allow-Origin *, Content-Length, Content-Type application/json and
/// allow GET, POST, HEAD, then `body` (which may be empty).
std::string httpResponseText(std::string body);

/// The same form with `cors` (the trust verdict's headers) in place of the `*` allowance.
std::string httpResponseText(std::string body, const std::vector<net::HeaderField>& cors);

}  // namespace kinetra::gateway
