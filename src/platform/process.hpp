// Processes of the system, as the single-instance check needs them.
#pragma once

#include <csignal>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kinetra::platform {

/// The id of this process.
int currentProcessId();

/// The ids of every process now running.
std::vector<int> runningProcessIds();

/// The short program name of process `pid` (for example "kinetra-server"), if it runs.
std::optional<std::string> processName(int pid);

/// The directory holding this program's executable.
std::filesystem::path executableDirectory();

/// The system's temporary directory as text, exactly as the standard library reports it
/// (it honours TMPDIR).
std::string temporaryDirectoryText();

/// Blocks SIGINT and SIGTERM in the calling thread, and so in every thread it starts later, and
/// returns that set, for one place to take them (sigwait, a signalfd). Called first in main,
/// before any thread exists.
sigset_t blockShutdownSignals();

/// Seams: start-up steps another platform needs (a console window to hide, a timer resolution
/// to raise) and Linux does not; empty here, kept so that a port has one place to fill in.
namespace seam {
void hideConsoleWindow();
void raiseTimerResolution();
}  // namespace seam

}  // namespace kinetra::platform
