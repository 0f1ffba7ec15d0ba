// Applying trust verdicts; the command is read from the body only when it may matter.
#include "gateway/trust_gate.hpp"

#include <algorithm>

#include "core/json.hpp"

namespace kinetra::gateway {

bool isPrivilegedCommand(std::string_view message) {
    // Parsed as the service will parse it: a name spelt with escapes is the same name.
    const json request = json::parse(message, nullptr, false);
    if (!request.is_object() || !request.contains("command") || !request["command"].is_string()) {
        return false;
    }
    const auto& command = request["command"].get_ref<const std::string&>();
    return std::find(std::begin(kPrivilegedCommands), std::end(kPrivilegedCommands), command) !=
           std::end(kPrivilegedCommands);
}

std::optional<std::string> httpRefusal(const net::Verdict& verdict, std::string_view body) {
    if (verdict.outcome != net::Verdict::Outcome::pass) {
        return net::refusalResponse(verdict);
    }
    if (!verdict.privileged && isPrivilegedCommand(body)) {
        net::Verdict refused = verdict;
        refused.outcome = net::Verdict::Outcome::forbidden;
        return net::refusalResponse(refused);
    }
    return std::nullopt;
}

}  // namespace kinetra::gateway
