// Linux: xdg-open in a grandchild process, so nothing waits for the program and no zombie is
// left behind (the intermediate child is reaped at once).
#include <sys/wait.h>
#include <unistd.h>

#include <spdlog/spdlog.h>

#include "platform/shell.hpp"

namespace kinetra::platform {
namespace {

void launchDetached(const char* program, const std::string& argument) {
    const pid_t child = fork();
    if (child < 0) {
        spdlog::warn("Could not start {0}: fork failed", program);
        return;
    }
    if (child == 0) {
        // Only async-signal-safe calls between fork and exec.
        if (fork() == 0) {
            execlp(program, program, argument.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        _exit(0);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
}

}  // namespace

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
