// The device firmware update of a link adapter's controller: an external DFU tool started with
// a fixed command line in the firmware directory, watched until it ends, its exit code turned
// into the status clients poll. Owned by the DeviceService; the watch thread is joined when
// it is destroyed.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "core/enum_table.hpp"
#include "platform/child_watch.hpp"

namespace kinetra::device {

enum class DfuStatus : std::int32_t {
    none = 0,
    running = 1,
    error = 2,
    multipleDFUDevice = 3,
    noDevice = 4,
    finished = 5,
};

inline constexpr auto kDfuStatusTable = core::makeEnumTable<DfuStatus>({
    {DfuStatus::none, "none"},
    {DfuStatus::running, "running"},
    {DfuStatus::error, "error"},
    {DfuStatus::multipleDFUDevice, "multipleDFUDevice"},
    {DfuStatus::noDevice, "noDevice"},
    {DfuStatus::finished, "finished"},
});

/// The tool's arguments: reset when done, the DFU device 0483:DF11, download the image file `a`
/// of the working directory to 0x08000000 and leave DFU mode, alternate setting 0.
inline constexpr std::array<std::string_view, 9> kDfuArguments = {
    "--reset", "--device", "0483:DF11", "-D", "a", "-s", "0x08000000:leave", "-a", "0"};

/// The status a tool's exit code gives: 0 finished, 80 multipleDFUDevice, 81 noDevice, else error.
DfuStatus statusForExitCode(int exitCode);

class DeviceFirmwareUpdate {
public:
    explicit DeviceFirmwareUpdate(std::string toolPath = "../firmware/dfu-util",
                                  std::string workingDirectory = "../firmware/");
    // Destroying it stops the watch; a tool still running is left to finish: ending it half-way
    // could leave the controller without firmware.
    DeviceFirmwareUpdate(const DeviceFirmwareUpdate&) = delete;
    DeviceFirmwareUpdate& operator=(const DeviceFirmwareUpdate&) = delete;

    /// startLinkDeviceFirmwareUpdate: the reply text. While an update runs nothing is started
    /// and the reply is {"result":"ok","status":"running"}; otherwise {"result":"ok"}, the
    /// status becomes running and the tool is started; a tool that cannot be started is logged
    /// and sets the status to error.
    std::string start();
    /// linkDeviceFirmwareUpdateStatus: {"result":"ok","status":<name>}.
    std::string statusReply() const;
    DfuStatus status() const { return status_.load(); }

private:
    std::string toolPath_;
    std::string workingDirectory_;
    std::atomic<DfuStatus> status_{DfuStatus::none};  // written by start() and the watch
    std::mutex startMutex_;                           // guards tool_ against two starts
    platform::ChildWatch tool_;  // one run per start; last: joined before the rest goes
};

}  // namespace kinetra::device
