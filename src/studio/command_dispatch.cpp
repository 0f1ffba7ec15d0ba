#include "studio/command_dispatch.hpp"

#include <algorithm>

#include <spdlog/spdlog.h>

#include "bus/socket_registry.hpp"
#include "core/json.hpp"

namespace kinetra::studio {

CommandDispatch::CommandDispatch(std::shared_ptr<zmq::context_t> context, StudioCounters& counters)
    : CommandDispatch(std::move(context), counters, "OSC", counters.commandsSent) {}

CommandDispatch::CommandDispatch(std::shared_ptr<zmq::context_t> context, StudioCounters& counters,
                                 std::string source, std::atomic<std::uint64_t>& sent)
    : context_(std::move(context)), counters_(counters), source_(std::move(source)), sent_(sent) {}

void CommandDispatch::problem(const std::string& kind, const std::string& text, SteadyTime now) {
    counters_.setError(source_ + ": " + text);
    if (const auto held = logLimiter_.admit(kind, now)) {
        spdlog::warn("{0}: {1}{2}", source_, text,
                     *held ? fmt::format(" ({0} more since the last report)", *held) : "");
    }
}

bool CommandDispatch::send(const std::string& endpoint, const std::string& request, bool joystick,
                           SteadyTime now) {
    if (!bus::SocketRegistry::instance().isOpen(endpoint)) {
        problem("closed", endpoint + " is not open", now);
        return false;
    }
    auto found = routes_.find(endpoint);
    if (found == routes_.end()) {
        Route route{zmq::socket_t(*context_, zmq::socket_type::dealer), {}, {}};
        route.socket.set(zmq::sockopt::linger, 0);
        route.socket.connect(endpoint);
        found = routes_.emplace(endpoint, std::move(route)).first;
    }
    Route& route = found->second;
    const bool stickPending = std::any_of(route.pending.begin(), route.pending.end(),
                                          [](const Pending& p) { return p.joystick; });
    if (joystick && stickPending) {
        route.waitingStick = request;
        return true;
    }
    if (!joystick) {
        route.waitingStick.reset();
    }
    return write(endpoint, route, request, joystick, now);
}

bool CommandDispatch::write(const std::string& endpoint, Route& route, const std::string& request,
                            bool joystick, SteadyTime now) {
    if (route.pending.size() >= kMaxPending) {
        problem("busy",
                endpoint + " has not answered " + std::to_string(kMaxPending) +
                    " requests; dropped " + request,
                now);
        return false;
    }
    // A REP service reads an empty delimiter frame before the request.
    const std::array<zmq::const_buffer, 2> frames{zmq::buffer(std::string_view()),
                                                  zmq::buffer(request)};
    if (!zmq::send_multipart(route.socket, frames, zmq::send_flags::dontwait)) {
        problem("busy", endpoint + " takes no more requests; dropped " + request, now);
        return false;
    }
    route.pending.push_back({joystick, now});
    sent_.fetch_add(1, std::memory_order_relaxed);
    return true;
}

bool CommandDispatch::idle() const {
    return std::all_of(routes_.begin(), routes_.end(),
                       [](const auto& entry) { return entry.second.pending.empty(); });
}

std::vector<zmq::socket_ref> CommandDispatch::sockets() {
    std::vector<zmq::socket_ref> result;
    for (auto& [endpoint, route] : routes_) {
        result.emplace_back(route.socket);
    }
    return result;
}

void CommandDispatch::takeReplies(SteadyTime now) {
    for (auto& [endpoint, route] : routes_) {
        std::vector<zmq::message_t> frames;
        while (zmq::recv_multipart(route.socket, std::back_inserter(frames),
                                   zmq::recv_flags::dontwait)) {
            if (!route.pending.empty()) {
                route.pending.pop_front();
            }
            const auto reply = frames.back().to_string();
            frames.clear();
            const json parsed = json::parse(reply, nullptr, false);
            if (!parsed.is_object() || parsed.value("result", "") != "ok") {
                problem("reply", endpoint + " answered " + reply, now);
            }
        }
        const bool stickPending = std::any_of(route.pending.begin(), route.pending.end(),
                                              [](const Pending& p) { return p.joystick; });
        if (route.waitingStick && !stickPending) {
            const auto stick = std::move(*route.waitingStick);
            route.waitingStick.reset();
            write(endpoint, route, stick, true, now);
        }
    }
}

void CommandDispatch::expire(SteadyTime now) {
    std::erase_if(routes_, [&](auto& entry) {
        auto& [endpoint, route] = entry;
        if (route.pending.empty() || now - route.pending.front().sentAt < kReplyPatience) {
            return false;
        }
        problem("silent", endpoint + " did not answer; its requests are given up", now);
        return true;
    });
}

}  // namespace kinetra::studio
