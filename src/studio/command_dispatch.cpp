// An input thread's way to the bus: its route, the joystick coalescing and the log lines for
// requests that went wrong.
#include "studio/command_dispatch.hpp"

#include <spdlog/spdlog.h>

#include "bus/socket_registry.hpp"
#include "core/json.hpp"

namespace kinetra::studio {

CommandDispatch::CommandDispatch(std::shared_ptr<zmq::context_t> context, StudioCounters& counters)
    : CommandDispatch(std::move(context), counters, "OSC", counters.commandsSent) {}

CommandDispatch::CommandDispatch(std::shared_ptr<zmq::context_t> context, StudioCounters& counters,
                                 std::string source, std::atomic<std::uint64_t>& sent)
    : counters_(counters),
      source_(std::move(source)),
      sent_(sent),
      route_(std::move(context), bus::Route::Limits{.perClient = kMaxPending}) {}

void CommandDispatch::problem(const std::string& kind, const std::string& text) {
    counters_.setError(source_ + ": " + text);
    if (const auto held = logLimiter_.admit(kind, now_)) {
        spdlog::warn("{0}: {1}{2}", source_, text, core::heldBackNote(*held));
    }
}

bool CommandDispatch::send(const std::string& endpoint, const std::string& request, bool joystick,
                           SteadyTime now, std::uint64_t client, bool stop) {
    now_ = now;
    if (!bus::SocketRegistry::instance().isOpen(endpoint)) {
        problem("closed", endpoint + " is not open");
        return false;
    }
    auto& sticks = sticks_[endpoint];
    // A stop is never held back behind a stick, and drops the one waiting.
    if (joystick && !stop && sticks.inFlight) {
        sticks.waiting = request;
        sticks.waitingClient = client;
        return true;
    }
    if (!joystick || stop) {
        sticks.waiting.reset();
    }
    return write(endpoint, request, joystick && !stop, client, stop);
}

bool CommandDispatch::write(const std::string& endpoint, const std::string& request, bool joystick,
                            std::uint64_t client, bool stop) {
    refusedNow_ = false;
    sending_ = true;
    route_.send(
        {.endpoint = endpoint,
         .body = request,
         .client = client,
         .patience = kReplyPatience,
         .stop = stop,
         .done = [this, endpoint, joystick, request](bus::Outcome outcome, std::string reply) {
             answered(endpoint, joystick, request, outcome, reply);
         }});
    sending_ = false;
    if (refusedNow_) {
        return false;
    }
    if (joystick) {
        sticks_[endpoint].inFlight = true;
    }
    sent_.fetch_add(1, std::memory_order_relaxed);
    return true;
}

void CommandDispatch::answered(const std::string& endpoint, bool joystick,
                               const std::string& request, bus::Outcome outcome,
                               const std::string& reply) {
    switch (outcome) {
        case bus::Outcome::reply: {
            const json parsed = json::parse(reply, nullptr, false);
            if (!parsed.is_object() || parsed.value("result", "") != "ok") {
                problem("reply", endpoint + " answered " + reply);
            }
            break;
        }
        case bus::Outcome::noReply:
            problem("silent", endpoint + " did not answer; the request is given up");
            break;
        case bus::Outcome::offline:
            problem("closed", endpoint + " is not open");
            break;
        case bus::Outcome::notQueued:
            problem("busy", endpoint + " takes no more requests; dropped " + request);
            refusedNow_ = sending_;
            if (joystick && !sending_) {
                sticks_[endpoint].inFlight = false;  // a refusal handed over after write()
            }
            return;
    }
    if (!joystick) {
        return;
    }
    auto& sticks = sticks_[endpoint];
    sticks.inFlight = false;
    if (sticks.waiting) {
        const auto stick = std::move(*sticks.waiting);
        sticks.waiting.reset();
        write(endpoint, stick, true, sticks.waitingClient, false);
    }
}

void CommandDispatch::takeReplies(SteadyTime now) {
    now_ = now;
    route_.takeReplies();
}

void CommandDispatch::expire(SteadyTime now) {
    now_ = now;
    route_.service(now);
}

}  // namespace kinetra::studio
