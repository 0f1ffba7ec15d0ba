// An asynchronous logger: a thread that logs only puts the line in a bounded queue, and one
// worker thread of this object writes the lines to the sink. When the queue is full the oldest
// line waiting is dropped and counted, so a sink that cannot keep up (a console nobody reads)
// never holds up a serial or network thread.
// Threads: log through logger() from any thread; construct, close and destroy on one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include <spdlog/async_logger.h>
#include <spdlog/details/thread_pool.h>

namespace kinetra::core {

class AsyncLog {
public:
    /// Starts the worker, which runs `onThreadStart` first (to name itself), then writes to
    /// `sink` what is logged through logger(); at most `queueLines` lines wait.
    AsyncLog(std::string name, spdlog::sink_ptr sink, std::size_t queueLines,
             std::function<void()> onThreadStart = {});
    /// close().
    ~AsyncLog();
    AsyncLog(const AsyncLog&) = delete;
    AsyncLog& operator=(const AsyncLog&) = delete;

    /// The logger. Lines logged after close() are refused (spdlog reports them on stderr).
    const std::shared_ptr<spdlog::async_logger>& logger() const { return logger_; }
    /// Lines dropped from the full queue so far.
    std::uint64_t dropped() const;
    /// Lines waiting in the queue now.
    std::size_t waiting() const;
    /// Hands every line still waiting to the sink, then ends and joins the worker. A sink that
    /// blocks holds this up: bound the sink first. Idempotent.
    void close();

private:
    mutable std::mutex mutex_;  // guards pool_ and droppedAtClose_
    std::shared_ptr<spdlog::details::thread_pool> pool_;
    std::uint64_t droppedAtClose_ = 0;
    std::shared_ptr<spdlog::async_logger> logger_;
};

}  // namespace kinetra::core
