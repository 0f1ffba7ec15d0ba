// Records every line logged through spdlog's default logger, as "level: text", while it exists.
// Made before the threads that log start and dropped after they end: the logger's sink list
// is not to change under a thread that logs.
#pragma once

#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/ringbuffer_sink.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace kinetra::testing {

class LogCapture {
public:
    explicit LogCapture(std::size_t lines = 4096)
        : sink_(std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(lines)) {
        sink_->set_formatter(std::make_unique<spdlog::pattern_formatter>(
            "%l: %v", spdlog::pattern_time_type::local, ""));
        spdlog::default_logger()->sinks().push_back(sink_);
    }
    ~LogCapture() { std::erase(spdlog::default_logger()->sinks(), sink_); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> lines() const { return sink_->last_formatted(); }

    /// True when a line that begins with `start` was logged.
    bool has(const std::string& start) const {
        const auto all = lines();
        return std::any_of(all.begin(), all.end(),
                           [&](const std::string& line) { return line.starts_with(start); });
    }

    /// How many lines were exactly `line`.
    long count(const std::string& line) const {
        const auto all = lines();
        return std::count(all.begin(), all.end(), line);
    }

private:
    std::shared_ptr<spdlog::sinks::ringbuffer_sink_mt> sink_;
};

}  // namespace kinetra::testing
