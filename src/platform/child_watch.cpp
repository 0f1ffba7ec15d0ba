// The watch thread wakes when the child ends (pidfd) and looks again at least every second, so a
// stop is never waited on longer than that.
#include "platform/child_watch.hpp"

#include <cstring>

#include <spdlog/spdlog.h>

namespace kinetra::platform {
namespace {

constexpr std::chrono::milliseconds kWatchInterval{1000};
// How long a killed child may take to be reaped when its owner goes.
constexpr std::chrono::milliseconds kReapBound{2000};

}  // namespace

ChildWatch::~ChildWatch() {
    thread_.stop();
    if (options_.endWithOwner && child_) {
        child_->kill();
        child_->waitForExit(kReapBound);
    }
}

int ChildWatch::start(const std::string& path, std::span<const std::string> arguments,
                      const std::string& workingDirectory, ChildWatchOptions options, OnEnd onEnd) {
    thread_.join();
    options_ = std::move(options);
    onEnd_ = std::move(onEnd);
    auto started = ChildProcess::start(path, arguments, workingDirectory, options_.child);
    if (!started.child) {
        spdlog::info("Could not start the {0} ({1}): {2} failed, error {3} ({4}).",
                     options_.program, path, started.failedCall, started.error,
                     std::strerror(started.error));
        return started.error;
    }
    child_ = std::move(started.child);
    // A watch that fails has nothing to go back to: the child may be reaped already.
    thread_.start({.name = options_.threadName,
                   .service = options_.program + " watch",
                   .onFailure = OnFailure::end},
                  [this](std::stop_token) { watch(); });
    return 0;
}

void ChildWatch::watch() {
    for (;;) {
        faultPoint();
        switch (child_->waitForExit(kWatchInterval, &thread_.stopSignal())) {
            case ChildWait::running:
                continue;
            case ChildWait::exited:
                onEnd_(child_->exitCode(), thread_.stopSignal());
                return;
            case ChildWait::stopped:
                return;
            case ChildWait::failed:
                spdlog::warn("Could not watch the {0} (process {1}).", options_.program,
                             child_->pid());
                child_->kill();
                onEnd_(std::nullopt, thread_.stopSignal());
                return;
        }
    }
}

}  // namespace kinetra::platform
