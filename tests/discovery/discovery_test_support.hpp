// Helpers shared by the discovery tests: log capture and a bounded wait on a condition that has
// no event to wait on (an atomic status, a count kept by another thread).
#pragma once

#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/ringbuffer_sink.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace kinetra::testing {

/// Records the default logger's lines ("level: text") for the scope.
class LogCapture {
public:
    LogCapture() {
        sink_->set_formatter(std::make_unique<spdlog::pattern_formatter>(
            "%l: %v", spdlog::pattern_time_type::local, ""));
        spdlog::default_logger()->sinks().push_back(sink_);
    }
    ~LogCapture() { std::erase(spdlog::default_logger()->sinks(), sink_); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    /// How many lines were exactly `line`.
    long count(const std::string& line) const {
        const auto lines = sink_->last_formatted();
        return std::count(lines.begin(), lines.end(), line);
    }

private:
    std::shared_ptr<spdlog::sinks::ringbuffer_sink_mt> sink_ =
        std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(1024);
};

/// Checks `condition` every 5 ms for at most `timeout`; true as soon as it holds.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace kinetra::testing
