// Finds link modules on the machine's serial ports by their USB ids and serial numbers, and
// tells the device service when one is plugged in (device_found) or removed
// (device_disconnected). Scanning is switched on and off over inproc://v1/link/scan and
// .../scan_stop. Owned by the DeviceService; its threads are joined when it is destroyed.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include <zmq.hpp>

#include "core/json.hpp"
#include "model/link_info.hpp"
#include "platform/service_thread.hpp"
#include "platform/stop_signal.hpp"
#include "serial/serial_port.hpp"

namespace kinetra::device {

/// serialConnection.usb_info.
struct UsbInfo {
    bool autoScan = true;
    std::uint64_t scanInterval = 250;  ///< milliseconds between two passes
    std::int32_t linkAdapterVid = 1155;
    std::int32_t linkAdapterPid = 41887;
    std::int32_t smmVid = 1155;
    std::int32_t smmPid = 41767;
    std::string manufacturerName = "Kinetra";
};

struct ScannerConfig {
    UsbInfo usb;
    model::PortInfo stopMotion;
    model::PortInfo linkAdapter;
};

/// Reads the serialConnection section. Every key is required; numbers may be integers or floats
/// (truncated), the 32-bit ids also booleans. Throws the JSON library's error otherwise.
ScannerConfig readScannerConfig(const json& serialConnection);

/// The serial ports of the machine, or nothing when they could not be listed (a pass then
/// reports nothing, instead of every known device lost); tests pass made-up ones.
using PortLister = std::function<std::optional<std::vector<serial::PortListing>>()>;

/// The product text of a link module that is never taken, whatever its ids.
inline constexpr std::string_view kExcludedDescription = "TurretAlpha Usb Dongle";
inline constexpr std::size_t kMinimumAdapterSerial = 11;
inline constexpr std::size_t kMinimumModuleSerial = 13;

/// The link record a port stands for, or nothing when it is not a link module of ours.
/// `foundEpoch` is the decimal nanosecond time written as initialFoundEpoch.
std::optional<model::LinkInfo> recogniseLink(const serial::PortListing& port,
                                             const ScannerConfig& config,
                                             const std::string& foundEpoch);

class LinkScanner {
public:
    /// Reads the configuration from `configurationEndpoint` (bounded wait; throws when it does
    /// not answer or lacks a key), connects to `deviceEndpoint`, binds the two scan endpoints
    /// and starts the control thread (and the scan thread when autoScan is set).
    LinkScanner(const std::string& configurationEndpoint, const std::string& deviceEndpoint,
                PortLister listPorts = serial::tryListSerialPorts);
    /// Stops both threads and joins them, then closes the sockets.
    ~LinkScanner();
    LinkScanner(const LinkScanner&) = delete;
    LinkScanner& operator=(const LinkScanner&) = delete;

    const ScannerConfig& config() const { return config_; }
    bool isScanning() const { return scanning_.load(); }

private:
    void control();
    void startScanning();
    void scan(std::stop_token stop);
    void runPass();
    bool sendEvent(std::string_view command, const model::LinkInfo& link);

    ScannerConfig config_;
    PortLister listPorts_;
    std::shared_ptr<zmq::context_t> context_;
    zmq::socket_t deviceSocket_;    // REQ (relaxed) to the device service, used by the scan thread
    zmq::socket_t scanSocket_;      // REP on inproc://v1/link/scan, used by the control thread
    zmq::socket_t scanStopSocket_;  // REP on inproc://v1/link/scan_stop, used by the control thread
    std::atomic<bool> scanning_{false};
    std::vector<model::LinkInfo> known_;  // devices reported found and not yet lost; scan thread
    bool listingFailed_ = false;          // the last listing failed; scan thread
    std::mutex wakeMutex_;                // pairs with wake_; held while scanning_ is switched on
    std::condition_variable_any wake_;    // wakes the idle scan thread when scanning_ is set
    platform::StopSignal stop_;           // set by the destructor; ends the control thread's wait
    platform::ServiceThread controlThread_;  // threads last: joined before the sockets close
    platform::ServiceThread scanThread_;
};

}  // namespace kinetra::device
