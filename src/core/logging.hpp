// The process-wide console logger: coloured lines on standard output, CR LF line ends,
// minimum level info. Every module logs through spdlog's default logger set up here. Logging
// never waits for the console: lines go through a bounded queue to one writer thread, and
// when the console falls behind (a pipe nobody reads) the oldest lines are dropped and counted.
#pragma once

#include <cstdint>
#include <functional>

namespace kinetra::core {

/// Installs the process logger as spdlog's default logger and starts its writer thread, which
/// runs `onWriterStart` first (the entry point names it). Safe to call more than once; only the
/// first call counts. Registers shutdownLogging to run at exit.
void initLogging(std::function<void()> onWriterStart = {});

/// Writes out every line still queued, waiting at most about two seconds in all for a console
/// that does not take them (what is left then is dropped and counted), and ends the writer
/// thread. Lines logged afterwards are written at once by the thread that logs them, under the
/// same bound. Idempotent; runs at exit by itself.
void shutdownLogging();

/// Log lines lost since start: dropped from the full queue, or given up at shutdown. This is
/// kinetra_log_messages_dropped_total. Any thread.
std::uint64_t logMessagesDropped();

}  // namespace kinetra::core
