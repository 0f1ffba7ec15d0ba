// Set up by the main thread before any service starts; shut down at exit. The queue's writer is
// the one thread that ever waits for standard output.
#include "core/logging.hpp"

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>

#include <spdlog/pattern_formatter.h>
#include <spdlog/spdlog.h>

#include "core/async_log.hpp"
#include "core/console_sink.hpp"

namespace kinetra::core {
namespace {

// Lines that may wait for the console: a few seconds of the busiest logging (a link retrying,
// a client sending bad requests), about a megabyte at most.
constexpr std::size_t kQueueLines = 8192;
// How long an exit waits for a console that takes nothing.
constexpr std::chrono::milliseconds kShutdownBound{2000};

struct ProcessLog {
    std::mutex mutex;  // guards sink, queue and closed
    std::shared_ptr<ConsoleSink> sink;
    std::unique_ptr<AsyncLog> queue;
    bool closed = false;
};

ProcessLog& processLog() {
    static ProcessLog log;
    return log;
}

std::unique_ptr<spdlog::formatter> lineFormat() {
    // Lines end in CR LF whatever the platform, so logs read the same everywhere.
    return std::make_unique<spdlog::pattern_formatter>("[%Y-%m-%d %H:%M:%S.%e] [%^%l%$] %v",
                                                       spdlog::pattern_time_type::local, "\r\n");
}

}  // namespace

void initLogging(std::function<void()> onWriterStart) {
    auto& log = processLog();
    {
        std::lock_guard lock(log.mutex);
        if (log.sink) {
            return;
        }
        log.sink = std::make_shared<ConsoleSink>(STDOUT_FILENO);
        log.sink->set_formatter(lineFormat());
        log.queue =
            std::make_unique<AsyncLog>("kinetra", log.sink, kQueueLines, std::move(onWriterStart));
        log.queue->logger()->set_level(spdlog::level::info);
        spdlog::set_default_logger(log.queue->logger());
    }
    // Registered after spdlog's registry and this state exist, so it runs before either goes.
    std::atexit(shutdownLogging);
}

void shutdownLogging() {
    auto& log = processLog();
    std::lock_guard lock(log.mutex);
    if (!log.sink || log.closed) {
        return;
    }
    log.closed = true;
    log.sink->closeWithin(kShutdownBound);
    // Late lines (a static destructor, a thread still ending) are written directly.
    auto direct = std::make_shared<spdlog::logger>("kinetra", log.sink);
    direct->set_level(spdlog::level::info);
    spdlog::set_default_logger(std::move(direct));
    log.queue->close();
}

std::uint64_t logMessagesDropped() {
    auto& log = processLog();
    std::lock_guard lock(log.mutex);
    if (!log.sink) {
        return 0;
    }
    return log.queue->dropped() + log.sink->dropped();
}

}  // namespace kinetra::core
