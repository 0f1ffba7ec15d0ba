// Fuzzes the jog guard with arbitrary client requests and bundle replies: the input is a request
// text, a newline, and the reply it gets. Whatever comes, every stop the guard owes must be a
// well-formed zero joystickMove, and a release must forget everything. Single-threaded.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/json.hpp"
#include "gateway/jog_guard.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using kinetra::gateway::JogGuard;
    using kinetra::gateway::Outcome;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const auto split = input.find('\n');
    const auto request = input.substr(0, split);
    const auto reply = split == std::string_view::npos ? "" : input.substr(split + 1);

    JogGuard guard;
    const int client = 0;
    // The request twice: once answered as the input says, once still in flight.
    for (const auto outcome : {Outcome::reply, Outcome::noReply}) {
        if (const auto ticket = guard.observe(&client, "/v1/bundle/F", request)) {
            guard.settle(*ticket, JogGuard::answerOf(outcome, reply));
        }
    }
    const auto pending = guard.observe(&client, "/v1/bundle/F", request);
    for (const auto& [path, body] : guard.release(&client)) {
        const auto stop = kinetra::json::parse(body, nullptr, false);
        if (path != "/v1/bundle/F" || !stop.is_object() || stop.size() < 2 ||
            stop.value("command", "") != "joystickMove") {
            __builtin_trap();
        }
        for (const auto& [key, value] : stop.items()) {
            if (key != "command" && value != 0) {
                __builtin_trap();
            }
        }
    }
    if (pending) {
        guard.settle(*pending, JogGuard::Answer::accepted);  // after the release: no effect
    }
    if (guard.clientCount() != 0 || !guard.release(&client).empty()) {
        __builtin_trap();
    }
    return 0;
}
