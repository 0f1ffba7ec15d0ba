#include "support/child_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace kinetra::testing {

using Clock = std::chrono::steady_clock;

ChildProcess::ChildProcess(std::vector<std::string> argv, std::string workingDirectory,
                           std::map<std::string, std::string> environment) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    std::vector<std::string> envText;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text(*entry);
        if (!environment.contains(text.substr(0, text.find('=')))) {
            envText.push_back(text);
        }
    }
    for (const auto& [name, value] : environment) {
        envText.push_back(name + "=" + value);
    }
    const auto pointers = [](std::vector<std::string>& texts) {  // null-terminated, for exec
        std::vector<char*> result;
        for (auto& text : texts) {
            result.push_back(text.data());
        }
        result.push_back(nullptr);
        return result;
    };
    auto envp = pointers(envText);
    auto args = pointers(argv);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
    posix_spawn_file_actions_addchdir_np(&actions, workingDirectory.c_str());
    // The test runner may block signals; the server must start with a clean mask.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    const int error =
        ::posix_spawn(&pid_, args[0], &actions, &attributes, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(fds[1]);
    outputFd_ = fds[0];
    if (error != 0) {
        ::close(outputFd_);
        throw std::runtime_error(std::string("cannot start ") + argv[0] + ": " +
                                 std::strerror(error));
    }
}

ChildProcess::~ChildProcess() {
    if (!exited_ && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &rawStatus_, 0);
    }
    if (outputFd_ >= 0) {
        ::close(outputFd_);
    }
}

bool ChildProcess::readSome(std::chrono::milliseconds timeout) {
    if (outputFd_ < 0) {
        return false;
    }
    pollfd item{outputFd_, POLLIN, 0};
    if (::poll(&item, 1, static_cast<int>(timeout.count())) <= 0) {
        return false;
    }
    char buffer[4096];
    const auto count = ::read(outputFd_, buffer, sizeof(buffer));
    if (count <= 0) {
        ::close(outputFd_);
        outputFd_ = -1;
        return false;
    }
    output_.append(buffer, static_cast<std::size_t>(count));
    return true;
}

bool ChildProcess::waitForOutput(const std::string& text, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (output_.find(text) == std::string::npos) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 || (!readSome(left) && outputFd_ < 0)) {
            return output_.find(text) != std::string::npos;
        }
    }
    return true;
}

void ChildProcess::signal(int signalNumber) const {
    ::kill(pid_, signalNumber);
}

std::optional<int> ChildProcess::waitForExit(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!exited_) {
        const pid_t done = ::waitpid(pid_, &rawStatus_, WNOHANG);
        if (done == pid_) {
            exited_ = true;
            break;
        }
        if (Clock::now() >= deadline) {
            return std::nullopt;
        }
        // Reading the output doubles as the wait: it returns when the child writes or closes.
        if (!readSome(std::chrono::milliseconds(10)) && outputFd_ < 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    while (readSome(std::chrono::milliseconds(0))) {
    }
    return WIFEXITED(rawStatus_) ? std::optional(WEXITSTATUS(rawStatus_)) : std::nullopt;
}

}  // namespace kinetra::testing
