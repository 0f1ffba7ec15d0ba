// Keeps a flood of bad datagrams from flooding the log: at most one line per kind of problem in
// each interval, with the count of those held back. Pure (the time is passed in); owned by one
// thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace kinetra::studio {

class RateLimiter {
public:
    using Time = std::chrono::steady_clock::time_point;

    explicit RateLimiter(std::chrono::milliseconds interval = std::chrono::seconds(5))
        : interval_(interval) {}

    /// When a line of `kind` may be logged at `now`: how many of that kind were held back since
    /// the last one logged. Nothing while the interval runs.
    std::optional<std::size_t> admit(std::string_view kind, Time now) {
        auto& entry = kinds_[std::string(kind)];
        if (entry.logged && now - *entry.logged < interval_) {
            ++entry.held;
            return std::nullopt;
        }
        entry.logged = now;
        const std::size_t held = entry.held;
        entry.held = 0;
        return held;
    }

private:
    struct Kind {
        std::optional<Time> logged;
        std::size_t held = 0;
    };
    std::chrono::milliseconds interval_;
    std::map<std::string, Kind, std::less<>> kinds_;
};

}  // namespace kinetra::studio
