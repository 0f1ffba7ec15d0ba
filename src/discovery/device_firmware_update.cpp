// The device firmware update: starts the DFU tool on the BundleController's service thread and
// watches it on a thread of its own until it ends.
#include "discovery/device_firmware_update.hpp"

#include <spdlog/spdlog.h>

#include <vector>

#include "bus/envelope.hpp"

namespace kinetra::discovery {
namespace {

// The status is re-asserted at this rate while the tool runs; the exit itself wakes the watcher.
constexpr std::chrono::milliseconds kWatchInterval{1000};

std::string statusText(DfuStatus status) {
    return core::dumpCompact(
        json{{"result", bus::kOk}, {"status", kDfuStatusTable.nameOf(status)}});
}

}  // namespace

DfuStatus statusForExitCode(int exitCode) {
    switch (exitCode) {
        case 0:
            return DfuStatus::finished;
        case 80:
            return DfuStatus::multipleDFUDevice;
        case 81:
            return DfuStatus::noDevice;
        default:
            return DfuStatus::error;
    }
}

DeviceFirmwareUpdate::DeviceFirmwareUpdate(std::string toolPath, std::string workingDirectory)
    : toolPath_(std::move(toolPath)), workingDirectory_(std::move(workingDirectory)) {}

DeviceFirmwareUpdate::~DeviceFirmwareUpdate() {
    watcher_.stop();
}

std::string DeviceFirmwareUpdate::start() {
    std::lock_guard lock(startMutex_);
    // Two tools writing the same controller at once would spoil the image.
    if (status_.load() == DfuStatus::running) {
        return statusText(DfuStatus::running);
    }
    // Not running means the previous watcher has set its final status and is returning.
    watcher_.join();
    status_ = DfuStatus::running;
    const std::vector<std::string> arguments(kDfuArguments.begin(), kDfuArguments.end());
    auto started = platform::ChildProcess::start(toolPath_, arguments, workingDirectory_);
    if (!started.child) {
        spdlog::info("CreateProcess failed, error code: {0}.", started.error);
        // Nothing runs, so the status must not say running: it would never change again.
        status_ = DfuStatus::error;
        return bus::resultText(bus::kOk);
    }
    tool_ = std::move(started.child);
    watcher_.start({.name = "dfu-watch", .service = "Firmware update watch"},
                   [this](std::stop_token) { watch(*tool_); });
    return bus::resultText(bus::kOk);
}

std::string DeviceFirmwareUpdate::statusReply() const {
    return statusText(status_.load());
}

void DeviceFirmwareUpdate::watch(platform::ChildProcess& tool) {
    for (;;) {
        platform::faultPoint();
        switch (tool.waitForExit(kWatchInterval, &watcher_.stopSignal())) {
            case platform::ChildWait::running:
                status_ = DfuStatus::running;
                break;
            case platform::ChildWait::exited:
                status_ = statusForExitCode(tool.exitCode());
                return;
            case platform::ChildWait::stopped:
                // Shutting down: the tool is left to finish (see the destructor's note).
                return;
            case platform::ChildWait::failed:
                spdlog::warn("The firmware update tool (process {0}) can no longer be watched.",
                             tool.pid());
                status_ = DfuStatus::error;
                return;
        }
    }
}

}  // namespace kinetra::discovery
