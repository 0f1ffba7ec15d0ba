// The pure half of link status and pairing: the adapter's version reply and the firmware flags it
// sets, scan and pair status replies into JSON, and the MAC texts of pairing requests.
// Runs on the link service thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/bytes.hpp"
#include "core/json.hpp"
#include "link/adapter_commands.hpp"
#include "model/firmware_catalog.hpp"
#include "model/setup_kind.hpp"

namespace kinetra::link {

// Every decoder here reads a reply as received; a byte past its end reads as zero, as it does in
// a Reply, and no decoder reads beyond the bytes it is given.

// --- Link versions -----------------------------------------------------------------------------

/// The adapter's own firmware versions, from the reply to `linkVersions` (00 03 ...).
struct LinkVersions {
    std::uint8_t controller = 0;  ///< byte 3
    std::uint8_t radio = 0;       ///< byte 5
};

LinkVersions decodeLinkVersions(core::ByteView reply);

inline constexpr std::uint8_t kRadioVersionRequired = 1;       // below: required and offered
inline constexpr std::uint8_t kControllerVersionRequired = 2;  // below: required
inline constexpr std::uint8_t kControllerVersionOffered = 4;   // below: offered
inline constexpr std::string_view kRadioFirmwareChangelog = "Initial release.";
inline constexpr std::string_view kDeviceFirmwareChangelog = "macOS compatibility.";

/// The link record flags an adapter's versions set. The owner only ever sets flags from this,
/// never clears them; a changelog is empty when no flag of its firmware is set.
struct LinkFirmwareFlags {
    bool isDeviceFirmwareUpdateRequired = false;
    bool isRadioFirmwareUpdateRequired = false;
    bool isDeviceFirmwareUpdateAvailable = false;
    bool isRadioFirmwareUpdateAvailable = false;
    std::string_view deviceFirmwareChangelog;
    std::string_view radioFirmwareChangelog;

    /// Either required flag: the handler then refuses link commands past its first five.
    bool firmwareUpdateRequired() const {
        return isDeviceFirmwareUpdateRequired || isRadioFirmwareUpdateRequired;
    }
};

LinkFirmwareFlags linkFirmwareFlags(const LinkVersions& versions);

// --- Wireless scan -----------------------------------------------------------------------------

/// One 20-byte entry of the radio's scan reply (01 01 N entries...).
struct WirelessScanEntry {
    std::uint8_t model = 0;
    std::int8_t rssi = 0;
    Mac mac{};
    std::uint8_t setup = 0;           ///< the setup byte as it came
    std::uint8_t controllerByte = 0;  ///< bit 0 tilted, bits 1 to 7 controller version
    std::uint8_t radioVersion = 0;
    std::uint16_t groupId = 0;
};

struct SetupReading {
    model::SetupKind setup = model::SetupKind::none;
    bool linkPairingActive = false;
};

/// The setup of a scan entry's setup byte: 0x60, 0x70 and 0x7F (top bit ignored) stand for
/// themselves; otherwise the low five bits, with bit 5 the link-pairing-active flag.
SetupReading readSetup(std::uint8_t setupByte);

/// The entries of a scan reply: as many as it announces, but at most 17 and only those that lie
/// wholly inside the reply.
std::vector<WirelessScanEntry> decodeWirelessScan(core::ByteView reply);

/// The six bytes as two-digit upper-case hexadecimal joined by ':'.
std::string macText(const Mac& mac);

/// One scan entry as clients read it, with the catalogue's answers for its versions.
json wirelessScanEntryJson(const WirelessScanEntry& entry, const model::FirmwareCatalog& catalog);

/// The "data" array of wirelessPairingScanResults.
json wirelessScanJson(core::ByteView reply, const model::FirmwareCatalog& catalog);

// --- CAN bus scan ------------------------------------------------------------------------------

/// One 3-byte entry of the adapter's CAN bus scan reply (00 02 N entries...).
struct CanScanEntry {
    std::uint8_t model = 0;
    std::uint8_t versionMajor = 0;
    std::uint8_t versionMinor = 0;
};

/// As decodeWirelessScan: at most 17 entries, none past the reply's end.
std::vector<CanScanEntry> decodeCanScan(core::ByteView reply);

json canScanEntryJson(const CanScanEntry& entry, const model::FirmwareCatalog& catalog);

/// The "data" array of link2PairingScanResults.
json canScanJson(core::ByteView reply, const model::FirmwareCatalog& catalog);

// --- Pair status -------------------------------------------------------------------------------

/// The "data" of wirelessPairingStatus, from the reply 01 00 state _ error.
json wirelessPairStatusJson(core::ByteView reply);

/// The "data" of link2PairingStatus, from the reply 00 00 state error.
json canbusPairStatusJson(core::ByteView reply);

// --- Pairing requests --------------------------------------------------------------------------

/// Six two-digit hexadecimal groups separated by ':' or '-', as the whole text.
inline constexpr std::string_view kAttachMacPattern = "^([0-9A-Fa-f]{2}[:-]){5}([0-9A-Fa-f]{2})$";

/// The MAC of wirelessPairingAttachToBundle; empty when the text does not match the pattern.
std::optional<Mac> parseAttachMac(std::string_view text);

/// A MAC of wirelessPairingCreateBundle: the text split at ':', each part read as hexadecimal
/// and its low byte kept, the first six parts used. Empty with fewer than six parts or a part
/// that is not hexadecimal digits.
std::optional<Mac> parseBundleMac(std::string_view text);

/// Why a pairing request was not turned into a frame.
enum class RequestError : std::uint8_t {
    none,
    malformed,                ///< missing or mistyped key, short list: answered "{}" and logged
    deviceCountOutOfRange,    ///< answered with kDeviceCountOutOfRange, nothing sent
    macPatternNotCompatible,  ///< answered with kMacPatternNotCompatible, nothing sent
};

inline constexpr std::string_view kMacPatternNotCompatible = "mac pattern not compatible";
inline constexpr std::string_view kDeviceCountOutOfRange = "deviceCount out of range";

template <typename T>
struct ParsedRequest {
    std::optional<T> value;
    RequestError error = RequestError::none;
    std::string detail;  ///< for the log when malformed
};

/// Reads deviceCount (any number, a floating one truncated), forcedMasterDevice (a model name;
/// unknown names read as code 0) and the first deviceCount texts of macList.
ParsedRequest<CreateBundleRequest> readCreateBundleRequest(const json& request);

/// Reads `mac` (a text) and checks it against kAttachMacPattern.
ParsedRequest<Mac> readAttachRequest(const json& request);

}  // namespace kinetra::link
