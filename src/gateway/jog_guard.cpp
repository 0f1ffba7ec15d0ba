// The jog guard's bookkeeping; see jog_guard.hpp.
#include "gateway/jog_guard.hpp"

#include <array>

#include "core/json.hpp"

namespace kinetra::gateway {
namespace {

constexpr std::string_view kBundlePrefix = "/v1/bundle/";
// The members a joystickMove moves by ("focus" is refused by the bundle, so never moves).
constexpr std::array<std::string_view, 5> kJogAxes = {"craneMaxPan", "craneMaxTilt", "headPan",
                                                      "headTilt", "slide"};

bool isBundleCommandPath(std::string_view path) {
    if (!path.starts_with(kBundlePrefix)) {
        return false;
    }
    const auto linkId = path.substr(kBundlePrefix.size());
    return !linkId.empty() && linkId.find('/') == std::string_view::npos;
}

bool moves(const json& value) {
    if (value.is_boolean()) {
        return value.get<bool>();
    }
    return value.is_number() && value.get<double>() != 0.0;
}

}  // namespace

void JogGuard::observe(const void* client, std::string_view path, std::string_view body) {
    // Most traffic is neither a jog nor a stop: settle that before parsing anything.
    if (!isBundleCommandPath(path) || (body.find("joystickMove") == std::string_view::npos &&
                                       body.find("motionAbort") == std::string_view::npos)) {
        return;
    }
    const json request = json::parse(body, nullptr, false);
    if (!request.is_object() || !request.contains("command") || !request["command"].is_string()) {
        return;
    }
    const auto command = request["command"].get<std::string>();
    if (command != "joystickMove" && command != "motionAbort") {
        return;
    }
    json stop = json::object();
    bool moving = false;
    if (command == "joystickMove") {
        for (const auto axis : kJogAxes) {
            const auto found = request.find(axis);
            if (found != request.end()) {
                stop[std::string(axis)] = 0;
                moving = moving || moves(*found);
            }
        }
    }
    std::lock_guard lock(mutex_);
    if (!moving) {
        const auto owner = owed_.find(client);
        if (owner != owed_.end()) {
            owner->second.erase(std::string(path));
            if (owner->second.empty()) {
                owed_.erase(owner);
            }
        }
        return;
    }
    stop["command"] = "joystickMove";
    owed_[client][std::string(path)] = core::dumpCompact(stop);
}

std::vector<JogGuard::Request> JogGuard::release(const void* client) {
    std::vector<Request> requests;
    std::lock_guard lock(mutex_);
    const auto owner = owed_.find(client);
    if (owner == owed_.end()) {
        return requests;
    }
    for (auto& [path, body] : owner->second) {
        requests.emplace_back(path, std::move(body));
    }
    owed_.erase(owner);
    return requests;
}

std::size_t JogGuard::clientCount() const {
    std::lock_guard lock(mutex_);
    return owed_.size();
}

}  // namespace kinetra::gateway
