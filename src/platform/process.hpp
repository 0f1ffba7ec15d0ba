// Processes of the system, as the single-instance check needs them.
#pragma once

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

/// No-ops on Linux: a console window to hide and a timer resolution to raise exist on Windows.
void hideConsoleWindow();
void raiseTimerResolution();

}  // namespace kinetra::platform
