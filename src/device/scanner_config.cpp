// The link scanner's pure part: its configuration and the recognition of a listed port.
// Called on the scanner's constructing thread and its scan thread.
#include <cmath>
#include <string>

#include "device/link_scanner.hpp"
#include "model/json_numbers.hpp"

namespace kinetra::device {
namespace {

[[noreturn]] void outOfRange(const json& value) {
    throw json::out_of_range::create(406, "number overflow reading " + value.dump(), &value);
}

// A count of milliseconds: integers, unsigned integers or floats (truncated). Booleans are not
// numbers here; a negative interval would wrap into a pause that never ends.
std::uint64_t readUnsigned64(const json& value) {
    switch (value.type()) {
        case json::value_t::number_unsigned:
            return value.get<std::uint64_t>();
        case json::value_t::number_integer: {
            const auto number = value.get<std::int64_t>();
            if (number < 0) {
                outOfRange(value);
            }
            return static_cast<std::uint64_t>(number);
        }
        case json::value_t::number_float: {
            const double number = std::trunc(value.get<double>());
            // 2^64 itself is the first double out of range.
            constexpr double kLimit = 18446744073709551616.0;
            if (!(number >= 0 && number < kLimit)) {
                outOfRange(value);
            }
            return static_cast<std::uint64_t>(number);
        }
        default:
            throw json::type_error::create(
                302, std::string("type must be number, but is ") + value.type_name(), &value);
    }
}

// The configuration's 32-bit numbers also take a boolean as 0 or 1, as they always have; a
// request's numbers do not (model::readInt32).
std::int32_t readConfigInt32(const json& value) {
    return value.is_boolean() ? static_cast<std::int32_t>(value.get<bool>())
                              : model::readInt32(value);
}

model::PortInfo readPortInfo(const json& port) {
    return model::PortInfo{
        readConfigInt32(port.at("baudrate")), readConfigInt32(port.at("stopBits")),
        readConfigInt32(port.at("bitCount")), port.at("flowControl").get<bool>()};
}

}  // namespace

ScannerConfig readScannerConfig(const json& serialConnection) {
    const json& usb = serialConnection.at("usb_info");
    ScannerConfig config;
    config.usb.autoScan = usb.at("autoScan").get<bool>();
    config.usb.scanInterval = readUnsigned64(usb.at("scanInterval"));
    config.usb.linkAdapterVid = readConfigInt32(usb.at("link_adapter_vid"));
    config.usb.linkAdapterPid = readConfigInt32(usb.at("link_adapter_pid"));
    config.usb.smmVid = readConfigInt32(usb.at("smm_vid"));
    config.usb.smmPid = readConfigInt32(usb.at("smm_pid"));
    config.usb.manufacturerName = usb.at("manufacturerName").get<std::string>();
    const json& ports = serialConnection.at("moduleSerialPortInfo");
    config.stopMotion = readPortInfo(ports.at("stop_motion"));
    config.linkAdapter = readPortInfo(ports.at("link_adapter"));
    return config;
}

std::optional<model::LinkInfo> recogniseLink(const serial::PortListing& port,
                                             const ScannerConfig& config,
                                             const std::string& foundEpoch) {
    // A dongle that shares a module's ids but is no link module of ours.
    if (port.description.find(kExcludedDescription) != std::string::npos) {
        return std::nullopt;
    }
    // A port that is not a USB port has no ids: 0 matches no configured pair.
    const int vendor = port.usbVendorId.value_or(0);
    const int product = port.usbProductId.value_or(0);
    model::LinkInfo link;
    // The stop-motion pair is tried first; a port with its ids is never taken as an adapter.
    if (vendor == config.usb.smmVid && product == config.usb.smmPid) {
        if (port.usbSerialNumber.size() < kMinimumModuleSerial) {
            return std::nullopt;
        }
        link.linkType = model::LinkType::stopMotionModule;
        link.portInfo = config.stopMotion;
    } else if (vendor == config.usb.linkAdapterVid && product == config.usb.linkAdapterPid) {
        if (port.usbSerialNumber.size() < kMinimumAdapterSerial) {
            return std::nullopt;
        }
        link.linkType = model::LinkType::linkAdapter;
        link.portInfo = config.linkAdapter;
    } else {
        return std::nullopt;
    }
    link.linkID = port.usbSerialNumber;
    link.initialFoundEpoch = foundEpoch;
    link.linkConnectionType = model::LinkConnectionType::none;
    link.portName = port.name;
    link.present = true;
    return link;
}

}  // namespace kinetra::device
