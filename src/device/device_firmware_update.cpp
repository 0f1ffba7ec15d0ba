// The device firmware update: starts the DFU tool on the DeviceService's service thread; its
// exit code, read on the tool's watch thread, becomes the status.
#include "device/device_firmware_update.hpp"

#include <vector>

#include "bus/envelope.hpp"

namespace kinetra::device {
namespace {

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

std::string DeviceFirmwareUpdate::start() {
    std::lock_guard lock(startMutex_);
    // Two tools writing the same controller at once would spoil the image.
    if (status_.load() == DfuStatus::running) {
        return statusText(DfuStatus::running);
    }
    status_ = DfuStatus::running;
    const std::vector<std::string> arguments(kDfuArguments.begin(), kDfuArguments.end());
    const int error =
        tool_.start(toolPath_, arguments, workingDirectory_,
                    {.threadName = "dfu-watch", .program = "firmware update tool"},
                    [this](std::optional<int> exitCode, const platform::StopSignal&) {
                        status_ = exitCode ? statusForExitCode(*exitCode) : DfuStatus::error;
                    });
    if (error != 0) {
        // Nothing runs, so the status must not say running: it would never change again.
        status_ = DfuStatus::error;
    }
    return bus::resultText(bus::kOk);
}

std::string DeviceFirmwareUpdate::statusReply() const {
    return statusText(status_.load());
}

}  // namespace kinetra::device
