// Linux: fork/exec with a close-on-exec pipe that carries a failed exec's errno back to the
// parent, and a pidfd (where the kernel has one) so a wait can sleep on the child's exit and a
// stop signal at once.
#include <fcntl.h>
#include <linux/close_range.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <vector>

#include "platform/child_process.hpp"

extern char** environ;

namespace kinetra::platform {
namespace {

using Clock = std::chrono::steady_clock;

int openPidFd(pid_t pid) {
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

// The calls a start can fail in, as the log names them; the child reports the index.
constexpr std::array<const char*, 5> kCalls = {"pipe2", "fork", "prctl", "chdir", "execve"};
enum Call : int { pipeCall, forkCall, prctlCall, chdirCall, execveCall };

// Reports the failed call and errno to the parent through `errorFd` and ends the forked child.
[[noreturn]] void failChild(int errorFd, Call call) {
    const std::array<int, 2> report{call, errno};
    [[maybe_unused]] const auto written = ::write(errorFd, report.data(), sizeof(report));
    ::_exit(127);
}

// Runs in the forked child: only async-signal-safe calls until exec. Any failure writes errno
// to `errorFd` and ends the child; a successful exec closes `errorFd` and the parent reads EOF.
[[noreturn]] void execChild(const char* path, char* const* argv, const char* workingDirectory,
                            bool endWithParent, pid_t parent, int errorFd) {
    if (endWithParent) {
        if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) {
            failChild(errorFd, prctlCall);
        }
        // The parent may have ended before the request took effect.
        if (::getppid() != parent) {
            ::_exit(127);
        }
    }
    // The starting thread's signal mask and an ignored SIGPIPE would otherwise carry over.
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    ::sigaction(SIGPIPE, &defaults, nullptr);
    // Nothing of the server's (bus, serial ports, sockets) is handed to the child.
    ::syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC);
    if (::chdir(workingDirectory) != 0) {
        failChild(errorFd, chdirCall);
    }
    ::execve(path, argv, environ);
    failChild(errorFd, execveCall);
}

}  // namespace

ChildStart ChildProcess::start(const std::string& path, std::span<const std::string> arguments,
                               const std::string& workingDirectory, ChildOptions options) {
    // Everything the child needs is prepared before the fork.
    std::error_code ignored;
    const std::string program = std::filesystem::absolute(path, ignored).string();
    std::vector<std::string> texts;
    texts.push_back(path);
    texts.insert(texts.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& text : texts) {
        argv.push_back(text.data());
    }
    argv.push_back(nullptr);

    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        return {std::nullopt, errno, kCalls[pipeCall]};
    }
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) {
        const int error = errno;
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        return {std::nullopt, error, kCalls[forkCall]};
    }
    if (pid == 0) {
        ::close(pipeFds[0]);
        execChild(program.c_str(), argv.data(), workingDirectory.c_str(), options.endWithParent,
                  parent, pipeFds[1]);
    }
    ::close(pipeFds[1]);
    std::array<int, 2> report{execveCall, 0};  // the call, errno
    ssize_t got = 0;
    do {
        got = ::read(pipeFds[0], report.data(), sizeof(report));
    } while (got < 0 && errno == EINTR);
    ::close(pipeFds[0]);
    if (got > 0) {
        int status = 0;
        ::waitpid(pid, &status, 0);  // the child ends right after reporting
        const auto call = static_cast<std::size_t>(report[0]) < kCalls.size()
                              ? kCalls[static_cast<std::size_t>(report[0])]
                              : kCalls[execveCall];
        return {std::nullopt, report[1] != 0 ? report[1] : ECHILD, call};
    }
    return {ChildProcess(pid, openPidFd(pid)), 0, nullptr};
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(other.pid_), pidFd_(other.pidFd_), reaped_(other.reaped_), exitCode_(other.exitCode_) {
    other.pid_ = -1;
    other.pidFd_ = -1;
}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        release();
        pid_ = other.pid_;
        pidFd_ = other.pidFd_;
        reaped_ = other.reaped_;
        exitCode_ = other.exitCode_;
        other.pid_ = -1;
        other.pidFd_ = -1;
    }
    return *this;
}

ChildProcess::~ChildProcess() {
    release();
}

void ChildProcess::release() noexcept {
    if (pidFd_ >= 0) {
        ::close(pidFd_);
        pidFd_ = -1;
    }
}

void ChildProcess::kill() {
    if (pid_ > 0 && !reaped_) {
        ::kill(pid_, SIGKILL);
    }
}

// True when the child has ended and was reaped (exitCode_ set); false while it runs or when
// its state cannot be read (errno says which: 0 for still running).
bool ChildProcess::reap() {
    int status = 0;
    pid_t result = 0;
    do {
        result = ::waitpid(pid_, &status, WNOHANG);
    } while (result < 0 && errno == EINTR);
    if (result == 0) {
        errno = 0;
        return false;
    }
    if (result < 0) {
        return false;
    }
    reaped_ = true;
    exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return true;
}

ChildWait ChildProcess::waitForExit(std::chrono::milliseconds timeout, const StopSignal* stop) {
    if (pid_ <= 0) {
        return ChildWait::failed;
    }
    if (reaped_) {
        return ChildWait::exited;
    }
    // Without a pidfd the exit is looked for every 10 ms; with one the wait wakes on it.
    constexpr std::chrono::milliseconds kFallbackSlice{10};
    constexpr std::chrono::milliseconds kLongestPoll{3600 * 1000};
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (reap()) {
            return ChildWait::exited;
        }
        if (errno != 0) {
            return ChildWait::failed;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left <= std::chrono::milliseconds(0)) {
            return ChildWait::running;
        }
        pollfd items[2];
        nfds_t count = 0;
        if (pidFd_ >= 0) {
            items[count++] = pollfd{pidFd_, POLLIN, 0};
        }
        if (stop != nullptr) {
            items[count++] = pollfd{stop->fd(), POLLIN, 0};
        }
        const auto slice = std::min(left, pidFd_ >= 0 ? kLongestPoll : kFallbackSlice);
        ::poll(items, count, static_cast<int>(slice.count()));
        if (stop != nullptr && stop->isSet()) {
            return reap() ? ChildWait::exited : ChildWait::stopped;
        }
    }
}

}  // namespace kinetra::platform
