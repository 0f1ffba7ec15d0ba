// The link record every part of the server carries for one USB link module, and its two JSON
// forms: the scanner form (written and read back) and the list form (written only).
// Pure data and conversions; used by the scanner, device service and link handler threads.
#pragma once

#include <cstdint>
#include <string>

#include "core/json.hpp"
#include "model/link_types.hpp"

namespace kinetra::model {

/// The serial settings a link's port is opened with.
struct PortInfo {
    std::int32_t baudrate = 115200;
    std::int32_t stopBits = 1;
    std::int32_t bitCount = 8;
    bool flowControl = false;

    bool operator==(const PortInfo&) const = default;
};

struct LinkInfo {
    LinkType linkType = LinkType::linkAdapter;
    /// The module's USB serial number; names the link in every endpoint.
    std::string linkID;
    /// Decimal nanoseconds since 1970 at which the scanner first examined the port.
    std::string initialFoundEpoch;
    LinkConnectionType linkConnectionType = LinkConnectionType::none;
    std::string portName;
    bool isPairingDone = false;
    /// The link is there and its handler runs; false once its line has ended. Clients read it
    /// as "isValid".
    bool present = false;
    PortInfo portInfo;
    bool isDeviceFirmwareUpdateRequired = false;
    bool isRadioFirmwareUpdateRequired = false;
    bool isDeviceFirmwareUpdateAvailable = false;
    bool isRadioFirmwareUpdateAvailable = false;
    bool isFirmwareCorrupted = false;
    std::string deviceFirmwareChangelog;
    std::string radioFirmwareChangelog;

    bool operator==(const LinkInfo&) const = default;
};

json toJson(const PortInfo& port);
/// Reads "baudrate", "stopBits", "bitCount" (numbers) and "flowControl" (a boolean), all
/// required; throws the JSON library's type or key error otherwise.
PortInfo portInfoFromJson(const json& port);

/// The scanner form: the thirteen members the scanner reports (no changelogs).
json toScannerJson(const LinkInfo& link);
/// Reads the scanner form. Every member is required and strictly typed (booleans are JSON
/// booleans, enumerations and texts are strings); throws the JSON library's type or key error
/// otherwise. Unknown enumeration names read as the table's first row. Changelogs stay empty.
LinkInfo linkInfoFromScannerJson(const json& form);

/// The list form: eleven members, plus each changelog that is not empty.
json toListJson(const LinkInfo& link);

}  // namespace kinetra::model
