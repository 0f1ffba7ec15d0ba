// Keeps what a client can repeat (bad payloads, unknown links, a broker that keeps refusing) from
// flooding the log: at most one line per kind of problem in each interval, with the count of
// those held back. Pure (the time is passed in); owned by the MQTT service thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <utility>

namespace kinetra::mqtt {

class LogLimiter {
public:
    using Time = std::chrono::steady_clock::time_point;

    explicit LogLimiter(std::chrono::milliseconds interval = std::chrono::seconds(5))
        : interval_(interval) {}

    /// How many lines of `kind` were held back since the last one logged, when one may be
    /// logged at `now`; nothing while the interval runs.
    std::optional<std::size_t> admit(const std::string& kind, Time now) {
        auto& entry = kinds_[kind];
        if (entry.logged && now - *entry.logged < interval_) {
            ++entry.held;
            return std::nullopt;
        }
        entry.logged = now;
        return std::exchange(entry.held, 0);
    }

private:
    struct Kind {
        std::optional<Time> logged;
        std::size_t held = 0;
    };
    std::chrono::milliseconds interval_;
    std::map<std::string, Kind> kinds_;
};

}  // namespace kinetra::mqtt
