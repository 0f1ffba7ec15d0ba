// Linux: processes are the numeric entries of /proc; the shutdown signals are blocked with the
// thread mask.
#include <pthread.h>
#include <unistd.h>

#include <charconv>
#include <fstream>

#include "platform/process.hpp"

namespace kinetra::platform {

int currentProcessId() {
    return static_cast<int>(getpid());
}

std::vector<int> runningProcessIds() {
    std::vector<int> ids;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
        const auto name = entry.path().filename().string();
        int pid = 0;
        const auto [end, result] = std::from_chars(name.data(), name.data() + name.size(), pid);
        if (result == std::errc() && end == name.data() + name.size()) {
            ids.push_back(pid);
        }
    }
    return ids;
}

std::optional<std::string> processName(int pid) {
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    if (!comm || !std::getline(comm, name)) {
        return std::nullopt;
    }
    return name;
}

std::filesystem::path executableDirectory() {
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::current_path() : self.parent_path();
}

std::string temporaryDirectoryText() {
    return std::filesystem::temp_directory_path().string();
}

sigset_t blockShutdownSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    return signals;
}

// Linux has no console window of its own and schedules timers finely already.
void seam::hideConsoleWindow() {}
void seam::raiseTimerResolution() {}

}  // namespace kinetra::platform
