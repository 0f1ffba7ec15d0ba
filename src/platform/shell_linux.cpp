// Linux: xdg-open in a grandchild process, so nothing waits for the program and no zombie is
// left behind (the intermediate child is reaped at once).
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>

#include <spdlog/spdlog.h>

#include "platform/shell.hpp"

namespace kinetra::platform {
namespace {

void launchDetached(const char* program, const std::string& argument) {
    runDetached({program, argument});
}

}  // namespace

bool runDetached(const std::vector<std::string>& commandLine) {
    if (commandLine.empty()) {
        return false;
    }
    // The argument vector is built before fork: only async-signal-safe calls between fork and
    // exec.
    std::vector<char*> argv;
    for (const auto& argument : commandLine) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    const pid_t child = fork();
    if (child < 0) {
        spdlog::warn("Could not start {0}: fork failed", commandLine.front());
        return false;
    }
    if (child == 0) {
        if (fork() == 0) {
            // The server blocks its shutdown signals in every thread; the opened program (a
            // browser, an editor) must not inherit that mask, or it could not be ended normally.
            sigset_t none;
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, nullptr);
            execvp(argv[0], argv.data());
            _exit(127);
        }
        _exit(0);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return true;
}

void openInEditor(const std::string& path) {
    launchDetached("xdg-open", path);
}
void openUrl(const std::string& url) {
    launchDetached("xdg-open", url);
}
void openFolder(const std::string& path) {
    launchDetached("xdg-open", path);
}

}  // namespace kinetra::platform
