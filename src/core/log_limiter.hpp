// Keeps a flood of client-caused log lines (refusals a page or a client can repeat at will) from
// flooding the log: per kind of line at most one in each interval, with the count of those held
// back. Any thread: one lock, held for a map lookup.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace kinetra::core {

class LogLimiter {
public:
    using Clock = std::chrono::steady_clock;

    explicit LogLimiter(std::chrono::milliseconds interval = std::chrono::seconds(1))
        : interval_(interval) {}

    /// When a line of `kind` may be logged at `now`: how many lines of that kind were held back
    /// since the last one logged. Nothing while the interval since that one runs. `kind` names
    /// a kind of line, never client text (every kind stays in the table).
    std::optional<std::size_t> admit(std::string_view kind, Clock::time_point now = Clock::now());

private:
    struct Kind {
        std::optional<Clock::time_point> logged;
        std::size_t held = 0;
    };

    const std::chrono::milliseconds interval_;
    std::mutex mutex_;  // guards kinds_
    std::map<std::string, Kind, std::less<>> kinds_;
};

/// What a logged line adds for `held` lines held back before it: " (N more since the last
/// report)", or nothing for none.
std::string heldBackNote(std::size_t held);

}  // namespace kinetra::core
