// The device service on inproc://v1/device: the list of every link found since start, one
// BundleHandler per present link, the link scanner whose events arrive as requests here, and the
// device firmware update. Each link reports its record's changes here as they happen, so the
// list is answered at once, and every change of it is published on the feed ("links"). A link
// whose line ends is taken down as an unplugged one is; one port carries one link; the list
// holds at most kMaxLinks records. One service thread; handlers are taken down on threads of
// their own, all joined before the service goes.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <zmq.hpp>

#include "bundle/bundle_handler.hpp"
#include "core/json.hpp"
#include "device/device_firmware_update.hpp"
#include "device/link_scanner.hpp"
#include "model/link_info.hpp"
#include "platform/service_thread.hpp"

namespace kinetra::device {

/// What the service builds its parts with; tests replace the port listing, the link timings
/// and the firmware tool.
struct DeviceServiceOptions {
    PortLister listPorts = serial::tryListSerialPorts;
    link::LinkTimings linkTimings;
    std::string dfuToolPath = "../firmware/dfu-util";
    std::string dfuWorkingDirectory = "../firmware/";
    /// The "data" of studioStatus, from the studio outputs (called on the service thread);
    /// unset, studioStatus answers that they are not running.
    std::function<json()> studioStatus;
};

class DeviceService {
public:
    /// Builds the scanner (which reads its configuration from `configurationEndpoint`), binds
    /// and announces inproc://v1/device and starts the service thread.
    explicit DeviceService(std::string configurationEndpoint, DeviceServiceOptions options = {});
    /// Announces the endpoint closed, stops the service thread, stops and destroys every bundle
    /// handler (joining the teardown threads), then the scanner.
    ~DeviceService();
    DeviceService(const DeviceService&) = delete;
    DeviceService& operator=(const DeviceService&) = delete;

    /// The reply text for one request; runs on the service thread (tests call it directly only
    /// when the thread is not running).
    std::string handle(std::string_view request);

    /// The commands the device service answers; anything else is "Command Not Found". The
    /// first two are the scanner's events.
    static constexpr std::string_view kDeviceFound = "device_found";
    static constexpr std::string_view kDeviceDisconnected = "device_disconnected";
    static constexpr std::string_view kLinkStatus = "linkStatus";
    static constexpr std::string_view kStartFirmwareUpdate = "startLinkDeviceFirmwareUpdate";
    static constexpr std::string_view kFirmwareUpdateStatus = "linkDeviceFirmwareUpdateStatus";
    /// motionAbort to every paired bundle at once; one entry per bundle in "data".
    static constexpr std::string_view kMotionAbortAll = "motionAbortAll";
    /// The studio outputs' settings and counters (FreeD out, OSC in).
    static constexpr std::string_view kStudioStatus = "studioStatus";
    /// The most links the list holds. A new link beyond it takes the place of the oldest one
    /// that is gone; while all are present it is refused with kTooManyLinks.
    static constexpr std::size_t kMaxLinks = 64;
    /// The results of a device_found that is refused.
    static constexpr std::string_view kPortHeld = "port is held by another link";
    static constexpr std::string_view kTooManyLinks = "too many links";
    static constexpr std::array<std::string_view, 7> kCommands = {
        kDeviceFound,          kDeviceDisconnected, kLinkStatus,  kStartFirmwareUpdate,
        kFirmwareUpdateStatus, kMotionAbortAll,     kStudioStatus};

private:
    void serve();
    void takeReports();
    void publishIfChanged();
    std::string linkFound(const json& request);
    bool portHeldByAnother(const model::LinkInfo& found) const;
    bool makeRoomFor(const model::LinkInfo& found);
    std::string refuse(const model::LinkInfo& found, std::string_view result);
    void linkLost(const json& request);
    void dropClosedLines();
    void drop(const std::string& linkId);
    json linkStatusData() const;
    std::string motionAbortAll();
    bool createHandler(const model::LinkInfo& record);
    void takeDown(const std::string& linkId);
    void reapTeardowns();
    model::LinkInfo* findRecord(const std::string& linkId);

    const std::string endpoint_;
    const std::string configurationEndpoint_;
    const DeviceServiceOptions options_;

    // Service thread only.
    std::vector<model::LinkInfo> links_;
    std::map<std::string, std::unique_ptr<bundle::BundleHandler>> handlers_;
    // The port each handler holds, in its normal form (symbolic links resolved).
    std::map<std::string, std::string> heldPorts_;
    // How many device_found were refused; the log names the first and then every doubling.
    std::uint64_t refusals_ = 0;
    struct Teardown {
        std::string linkId;
        platform::ServiceThread thread;  // its body holds the handler until it is destroyed
    };
    std::list<Teardown> teardowns_;  // one per handler being destroyed
    // The last status reply each present link reported (absent or empty: not known yet).
    std::map<std::string, std::string> reportedStatus_;
    std::string publishedLinks_;  // the "links" body last published

    DeviceFirmwareUpdate dfu_;
    std::shared_ptr<zmq::context_t> context_;
    zmq::socket_t socket_;   // REP on inproc://v1/device, service thread
    zmq::socket_t reports_;  // PULL of the links' reports, service thread
    zmq::socket_t feed_;     // PUB to the feed, service thread
    std::unique_ptr<LinkScanner> scanner_;
    platform::ServiceThread thread_;  // last: joined first
};

}  // namespace kinetra::device
