// Names of the in-process bus endpoints. Every endpoint is reached as "inproc:/" + URL path, so
// an HTTP path /v1/device maps to inproc://v1/device.
#pragma once

#include <string>
#include <string_view>

namespace kinetra::bus {

inline constexpr std::string_view kOpenSocket = "inproc://opensocket";
inline constexpr std::string_view kClosedSocket = "inproc://closedsocket";
inline constexpr std::string_view kConfigurationEndpoint = "inproc://v1/configuration";
inline constexpr std::string_view kDeviceEndpoint = "inproc://v1/device";
inline constexpr std::string_view kLinkScanEndpoint = "inproc://v1/link/scan";
inline constexpr std::string_view kLinkScanStopEndpoint = "inproc://v1/link/scan_stop";
/// Where every link reports the changes of its record to the device service (PUSH to PULL;
/// never announced, so no client reaches it).
inline constexpr std::string_view kLinkReportsEndpoint = "inproc://device/link_reports";

/// The endpoint that serves an HTTP or WebSocket path ("/v1/device" -> "inproc://v1/device").
inline std::string endpointForPath(std::string_view path) {
    return std::string("inproc:/").append(path);
}

inline std::string linkEndpoint(std::string_view linkId) {
    return std::string("inproc://v1/link/").append(linkId);
}
inline std::string linkDetectEndpoint(std::string_view linkId) {
    return linkEndpoint(linkId) + "/detect";
}
inline std::string bundleEndpoint(std::string_view linkId) {
    return std::string("inproc://v1/bundle/").append(linkId);
}
inline std::string bundleStatusEndpoint(std::string_view linkId) {
    return bundleEndpoint(linkId) + "/status";
}
inline std::string bundleUpdateStatusEndpoint(std::string_view linkId) {
    return bundleEndpoint(linkId) + "/update_status";
}

}  // namespace kinetra::bus
