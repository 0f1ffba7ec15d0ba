#include "mqtt/command_plan.hpp"

#include <algorithm>
#include <array>

#include "bus/endpoints.hpp"
#include "core/json.hpp"
#include "gateway/gateway_texts.hpp"
#include "gateway/trust_gate.hpp"
#include "net/trust_policy.hpp"

namespace kinetra::mqtt {
namespace {

constexpr std::array<std::string_view, 2> kDeviceCommands = {"linkStatus", "motionAbortAll"};
// The members a joystickMove moves by ("focus" is refused by the bundle, so never moves).
constexpr std::array<std::string_view, 5> kJogAxes = {"craneMaxPan", "craneMaxTilt", "headPan",
                                                      "headTilt", "slide"};

std::string endpointOf(const CommandTarget& target) {
    switch (target.kind) {
        case TargetKind::bundle:
            return bus::bundleEndpoint(target.linkId);
        case TargetKind::link:
            return bus::linkEndpoint(target.linkId);
        case TargetKind::device:
        case TargetKind::abortAll:
            break;
    }
    return std::string(bus::kDeviceEndpoint);
}

bool moves(const json& value) {
    if (value.is_boolean()) {
        return value.get<bool>();
    }
    return value.is_number() && value.get<double>() != 0.0;
}

}  // namespace

Plan planCommand(const CommandTarget& target, std::string_view payload) {
    if (target.kind == TargetKind::abortAll) {
        return Forward{endpointOf(target), R"({"command":"motionAbortAll"})"};
    }
    const json request = payload.empty() ? json::object() : json::parse(payload, nullptr, false);
    if (request.is_discarded()) {
        return Refusal{std::string(kParseErrorReply), "a payload that is not JSON"};
    }
    const std::string body = core::dumpCompact(request);
    if (gateway::isPrivilegedCommand(body)) {
        return Refusal{std::string(net::kForbiddenReply),
                       request["command"].get<std::string>() + " is never taken over MQTT"};
    }
    if (target.kind == TargetKind::device) {
        const auto command = request.is_object() ? request.find("command") : request.end();
        if (command == request.end() || !command->is_string() ||
            std::find(kDeviceCommands.begin(), kDeviceCommands.end(),
                      command->get_ref<const std::string&>()) == kDeviceCommands.end()) {
            return Refusal{std::string(net::kForbiddenReply),
                           "the device topic takes linkStatus and motionAbortAll only"};
        }
    }
    return Forward{endpointOf(target), body};
}

Jog jogOf(std::string_view body) {
    // Most traffic is neither a jog nor a stop: settle that before parsing anything.
    if (body.find("joystickMove") == std::string_view::npos &&
        body.find("motionAbort") == std::string_view::npos) {
        return {};
    }
    const json request = json::parse(body, nullptr, false);
    if (!request.is_object() || !request.contains("command") || !request["command"].is_string()) {
        return {};
    }
    const auto& command = request["command"].get_ref<const std::string&>();
    if (command == "motionAbort") {
        return {Jog::Kind::settled, {}};
    }
    if (command != "joystickMove") {
        return {};
    }
    json zero = {{"command", "joystickMove"}};
    bool moving = false;
    for (const auto axis : kJogAxes) {
        if (const auto found = request.find(axis); found != request.end()) {
            zero[std::string(axis)] = 0;
            moving = moving || moves(*found);
        }
    }
    if (!moving) {
        return {Jog::Kind::settled, {}};
    }
    return {Jog::Kind::moving, core::dumpCompact(zero)};
}

std::string replyText(RouteOutcome outcome, std::string reply) {
    switch (outcome) {
        case RouteOutcome::reply:
            return reply;
        case RouteOutcome::noReply:
            return {};
        case RouteOutcome::offline:
            return std::string(gateway::kOfflineReply);
        case RouteOutcome::notQueued:
            return std::string(gateway::kNotProcessedReply);
    }
    return {};
}

}  // namespace kinetra::mqtt
