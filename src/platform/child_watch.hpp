// A helper program (the web application, the firmware tool) started and watched on a thread of
// its own until it ends: the one shape for starting, watching, ending and reaping a child.
// start() and the destructor are called by the owner; the owner's onEnd runs on the watch thread.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "platform/child_process.hpp"
#include "platform/service_thread.hpp"

namespace kinetra::platform {

struct ChildWatchOptions {
    /// The watch thread's name and what log lines call the program ("web application").
    std::string threadName;
    std::string program;
    ChildOptions child{};
    /// The destructor ends a child still running (SIGKILL) and reaps it. Off: the child is left
    /// to finish (a firmware tool ended half-way could leave a controller without firmware).
    bool endWithOwner = false;
};

class ChildWatch {
public:
    /// The child's exit code, or nothing when its state could no longer be read (then the
    /// child has been sent SIGKILL). Runs on the watch thread; `stop` is set when the owner goes,
    /// so a wait inside ends at once.
    using OnEnd = std::function<void(std::optional<int> exitCode, const StopSignal& stop)>;

    ChildWatch() = default;
    /// Stops the watch; with endWithOwner also ends and reaps the child.
    ~ChildWatch();
    ChildWatch(const ChildWatch&) = delete;
    ChildWatch& operator=(const ChildWatch&) = delete;

    /// Starts `path` (see ChildProcess::start) and a thread that waits for its end and calls
    /// `onEnd`. A program that cannot be started is logged once with the reason and its error
    /// number is returned (0: started). The previous child must have ended (its onEnd called).
    int start(const std::string& path, std::span<const std::string> arguments,
              const std::string& workingDirectory, ChildWatchOptions options, OnEnd onEnd);

private:
    void watch();

    ChildWatchOptions options_;
    OnEnd onEnd_;
    std::optional<ChildProcess> child_;  // the watch thread's while it runs; the owner's after
    ServiceThread thread_;               // last: joined before the members it uses go
};

}  // namespace kinetra::platform
