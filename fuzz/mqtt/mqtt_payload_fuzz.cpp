// Fuzzes what the MQTT client reads from the broker and its configuration: the input's first
// line is a command topic below the prefix, the rest the payload, planned for that topic and for
// every kind of target; the payload is also read as a jog, as a status for the discovery
// documents, and as a broker URL. Single-threaded.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/json.hpp"
#include "gateway/trust_gate.hpp"
#include "mqtt/command_plan.hpp"
#include "mqtt/home_assistant.hpp"
#include "mqtt/mqtt_settings.hpp"

namespace {

using namespace kinetra::mqtt;

void checkPlan(const CommandTarget& target, std::string_view payload) {
    const auto plan = planCommand(target, payload);
    if (const auto* forward = std::get_if<Forward>(&plan)) {
        // Whatever goes to the bus is compact JSON and never a port or firmware command.
        const auto body = kinetra::json::parse(forward->body, nullptr, false);
        if (body.is_discarded() || kinetra::gateway::isPrivilegedCommand(forward->body) ||
            !forward->endpoint.starts_with("inproc://v1/")) {
            __builtin_trap();
        }
        return;
    }
    if (!kinetra::json::parse(std::get<Refusal>(plan).reply, nullptr, false).is_object()) {
        __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const auto newline = input.find('\n');
    const auto level = input.substr(0, newline);
    const auto payload =
        newline == std::string_view::npos ? std::string_view() : input.substr(newline + 1);

    const Topics topics("kinetra/fuzz");
    if (const auto target = topics.commandTarget(topics.prefix() + "/" + std::string(level))) {
        if (target->kind != TargetKind::abortAll && target->kind != TargetKind::device &&
            !isTopicLevel(target->linkId)) {
            __builtin_trap();
        }
        checkPlan(*target, payload);
    }
    for (const auto kind :
         {TargetKind::bundle, TargetKind::link, TargetKind::device, TargetKind::abortAll}) {
        checkPlan({kind, "K1"}, payload);
    }

    const auto jog = jogOf(payload);
    if (jog.kind == Jog::Kind::moving &&
        kinetra::json::parse(jog.zero, nullptr, false).value("command", "") != "joystickMove") {
        __builtin_trap();
    }

    const auto status = kinetra::json::parse(payload, nullptr, false);
    for (const auto& [topic, document] : discoveryDocuments(topics, level, status, true)) {
        if (!topic.starts_with("homeassistant/") ||
            kinetra::json::parse(document, nullptr, false).is_discarded()) {
            __builtin_trap();
        }
    }
    (void)discoveryShape(status);

    if (const auto url = parseBrokerUrl(payload)) {
        const auto again = parseBrokerUrl(url->text());
        if (!again || again->text() != url->text() || again->port == 0) {
            __builtin_trap();
        }
    }
    return 0;
}
