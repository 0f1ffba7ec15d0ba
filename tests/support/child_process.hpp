// Runs a program for an end-to-end test: its own working directory and TMPDIR, standard output
// and error captured through a pipe, bounded waits for lines and for its exit. The child is
// killed when the object goes away, so no test leaves a process behind.
#pragma once

#include <chrono>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kinetra::testing {

/// The resident memory of process `pid` (this one's own too), in kB; 0 when unreadable.
inline std::size_t residentKilobytes(int pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("VmRSS:")) {
            return std::stoul(line.substr(6));
        }
    }
    return 0;
}

class ChildProcess {
public:
    /// Starts `argv[0]` with `argv` in `workingDirectory`, with `environment` entries set on top
    /// of this process's environment. Throws std::runtime_error when it cannot be started.
    ChildProcess(std::vector<std::string> argv, std::string workingDirectory,
                 std::map<std::string, std::string> environment = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    int pid() const { return pid_; }

    /// Reads output until a line contains `text` or `timeout` passes. True when it appeared.
    bool waitForOutput(const std::string& text, std::chrono::milliseconds timeout);

    /// All output read so far.
    const std::string& output() const { return output_; }

    void signal(int signalNumber) const;

    /// Waits at most `timeout` for the exit; the exit status, or nothing (still running, or
    /// ended by a signal). Reads the remaining output.
    std::optional<int> waitForExit(std::chrono::milliseconds timeout);

private:
    bool readSome(std::chrono::milliseconds timeout);

    int pid_ = -1;
    int outputFd_ = -1;
    bool exited_ = false;
    int rawStatus_ = 0;
    std::string output_;
};

}  // namespace kinetra::testing
