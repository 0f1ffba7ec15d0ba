// The console's log sink: each line formatted and written straight to a descriptor (standard
// output), coloured on a terminal. It waits for a descriptor nobody reads for as long as it
// must, which only the log's own worker thread ever does, until the process closes the log:
// from then on a line waits a bounded time and is dropped (and counted) after it.
// Runs on the log's worker thread; after closing, on whichever thread logs.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string_view>

#include <spdlog/sinks/base_sink.h>

namespace kinetra::core {

class ConsoleSink final : public spdlog::sinks::base_sink<std::mutex> {
public:
    /// Writes to `fd`, which it does not own; colours when `fd` is a terminal.
    explicit ConsoleSink(int fd);
    ~ConsoleSink() override;
    ConsoleSink(const ConsoleSink&) = delete;
    ConsoleSink& operator=(const ConsoleSink&) = delete;

    /// From now on, every line still to be written shares `bound` in all: a line that cannot be
    /// written by then is dropped. Wakes a write that is waiting now. Any thread.
    void closeWithin(std::chrono::milliseconds bound);
    /// Lines given up after closeWithin. Any thread.
    std::uint64_t dropped() const { return dropped_.load(std::memory_order_relaxed); }

protected:
    void sink_it_(const spdlog::details::log_msg& message) override;
    void flush_() override {}  // nothing is buffered

private:
    /// Writes all of `bytes`; false when the close bound ran out or the descriptor failed.
    bool writeAll(std::string_view bytes);

    const int fd_;
    const bool colour_;
    int wake_[2] = {-1, -1};  // a pipe: readable once the log closes
    std::atomic<bool> closing_{false};
    std::atomic<std::int64_t> closeDeadline_{0};  // steady clock, nanoseconds since its epoch
    std::atomic<std::uint64_t> dropped_{0};
};

}  // namespace kinetra::core
