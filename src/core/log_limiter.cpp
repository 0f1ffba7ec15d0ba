// LogLimiter: the per-kind interval and count under one lock.
#include "core/log_limiter.hpp"

namespace kinetra::core {

std::optional<std::size_t> LogLimiter::admit(std::string_view kind, Clock::time_point now) {
    std::lock_guard lock(mutex_);
    auto found = kinds_.find(kind);
    if (found == kinds_.end()) {
        found = kinds_.emplace(std::string(kind), Kind{}).first;
    }
    Kind& entry = found->second;
    if (entry.logged && now - *entry.logged < interval_) {
        ++entry.held;
        return std::nullopt;
    }
    entry.logged = now;
    const std::size_t held = entry.held;
    entry.held = 0;
    return held;
}

std::string heldBackNote(std::size_t held) {
    return held == 0 ? std::string() : " (" + std::to_string(held) + " more since the last report)";
}

}  // namespace kinetra::core
