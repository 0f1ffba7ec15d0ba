// Starting a helper program (the DFU tool, the web application) in its own working directory and
// waiting for its exit with a bound. Used by whichever thread starts or watches the program.
#pragma once

#include <chrono>
#include <optional>
#include <span>
#include <string>

#include "platform/stop_signal.hpp"

namespace kinetra::platform {

struct ChildOptions {
    /// End the child (SIGKILL) when this process ends, crashes included.
    bool endWithParent = false;
};

/// The outcome of one wait for a child's exit.
enum class ChildWait {
    exited,   ///< the child ended; its exit code is known
    running,  ///< the timeout passed with the child still running
    stopped,  ///< the stop signal was set
    failed,   ///< the child's state could not be read
};

struct ChildStart;

/// A started child process. Move-only; destroying it neither ends the child nor waits for it
/// (call kill() and waitForExit() for that).
class ChildProcess {
public:
    /// Starts `path` with `arguments` (without the program name) in `workingDirectory`, with
    /// this process's environment and no descriptors inherited besides the standard three.
    /// `path` is resolved against this process's working directory, not the child's. A program
    /// that cannot be executed (missing, not executable, bad working directory) is reported
    /// here with its error number, not as a child that exits at once.
    static ChildStart start(const std::string& path, std::span<const std::string> arguments,
                            const std::string& workingDirectory, ChildOptions options = {});

    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();

    int pid() const { return pid_; }

    /// Waits at most `timeout` for the child to end (or until `stop` is set) and reaps it.
    ChildWait waitForExit(std::chrono::milliseconds timeout, const StopSignal* stop = nullptr);

    /// The exit code once waitForExit() answered exited: the program's status, or 128 + the
    /// signal number when a signal ended it (the shell's convention).
    int exitCode() const { return exitCode_; }

    /// Sends SIGKILL unless the child has already been reaped.
    void kill();

private:
    ChildProcess(int pid, int pidFd) : pid_(pid), pidFd_(pidFd) {}
    bool reap();
    void release() noexcept;

    int pid_ = -1;
    int pidFd_ = -1;  // readable once the child has ended; -1 when the kernel offers none
    bool reaped_ = false;
    int exitCode_ = 0;
};

/// The started child, or the system error number of the failed start and the system call that
/// failed ("execve" for a missing program, "chdir" for a missing working directory).
struct ChildStart {
    std::optional<ChildProcess> child;
    int error = 0;
    const char* failedCall = nullptr;
};

}  // namespace kinetra::platform
