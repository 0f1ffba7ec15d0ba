// What an MQTT command does: the bus request it becomes, or the reply it gets at once without
// anything being carried out; what a bundle request means for the jog dead-man; and the reply
// text for each way a bus request can end, the same bytes HTTP answers. Pure; used by the MQTT
// service thread.
#pragma once

#include <string>
#include <string_view>
#include <variant>

#include "mqtt/topics.hpp"

namespace kinetra::mqtt {

/// How a bus request ended (the route's outcomes).
enum class RouteOutcome {
    reply,      ///< the service answered with the text given
    noReply,    ///< no answer in time
    offline,    ///< the endpoint is not open: no such link (or not yet)
    notQueued,  ///< the route could not take the request
};

/// The bundle service's answer to a request it cannot read; MQTT gives it to a payload that is
/// not JSON, for every target.
inline constexpr std::string_view kParseErrorReply =
    R"({"result":"command parsing error. please check the arguments, syntax, naming etc."})";

/// A request to send: compact JSON to `endpoint`.
struct Forward {
    std::string endpoint;
    std::string body;
};

/// Nothing is carried out; `reply` answers the request and `reason` goes to the log.
struct Refusal {
    std::string reply;
    std::string reason;
};

using Plan = std::variant<Forward, Refusal>;

/// Plans the command `payload` sent to `target`. An empty payload is the empty request {}, as
/// over HTTP; abortAll takes any payload. Refused: a payload that is not JSON; the commands that
/// choose ports or rewrite firmware (device_found, device_disconnected, the firmware updates),
/// on any target; on the device topic everything but linkStatus and motionAbortAll.
Plan planCommand(const CommandTarget& target, std::string_view payload);

/// What a request to a bundle does to its jog.
struct Jog {
    enum class Kind {
        none,     ///< not a jog and not a stop: the dead-man goes on as it was
        moving,   ///< a joystickMove with a deflection: `zero` lets go of it
        settled,  ///< an all-zero joystickMove or a motionAbort: nothing is owed any more
    };
    Kind kind = Kind::none;
    std::string zero;  // {"command":"joystickMove", the same axes at 0}
};

/// Reads `body` (a planned bundle request) for the dead-man.
Jog jogOf(std::string_view body);

/// The reply for a request that ended with `outcome`, `reply` being the service's text: what
/// the HTTP gateway answers in each case (an empty text when nothing came in time).
std::string replyText(RouteOutcome outcome, std::string reply);

}  // namespace kinetra::mqtt
