// Version, scan and pair status replies into flags and JSON, and pairing request texts.
// Pure; run by the link service thread.
#include "link/pairing_codec.hpp"

#include <algorithm>
#include <cmath>
#include <regex>

#include "link/link_states.hpp"
#include "model/device_model.hpp"
#include "model/json_numbers.hpp"

namespace kinetra::link {
namespace {

using model::DeviceModel;

// Replies are read as if padded with zeros, the way a Reply presents them.
std::uint8_t byteAt(core::ByteView bytes, std::size_t index) {
    return index < bytes.size() ? bytes[index] : 0;
}

// Turret gamma heads can be mounted tilted; only their scan entries report it.
constexpr auto kTiltReportingModel = DeviceModel::turretGamma;

std::size_t entriesInReply(core::ByteView reply, std::size_t entrySize) {
    const std::size_t announced = byteAt(reply, kScanCountOffset);
    const std::size_t whole =
        reply.size() > kScanEntriesOffset ? (reply.size() - kScanEntriesOffset) / entrySize : 0;
    return std::min({announced, kScanEntryLimit, whole});
}

std::string modelName(std::uint8_t code) {
    return std::string(model::nameOf(model::deviceModelFromCode(code)));
}

std::string typeName(const json& value) {
    return std::string("type must be string, but is ") + value.type_name();
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// One hexadecimal number of any length; its low byte.
std::optional<std::uint8_t> hexLowByte(std::string_view part) {
    if (part.empty()) {
        return std::nullopt;
    }
    unsigned value = 0;
    for (const char c : part) {
        const int digit = hexDigit(c);
        if (digit < 0) {
            return std::nullopt;
        }
        value = ((value << 4) | static_cast<unsigned>(digit)) & 0xFF;
    }
    return static_cast<std::uint8_t>(value);
}

template <typename T>
ParsedRequest<T> failed(RequestError error, std::string detail = {}) {
    return {std::nullopt, error, std::move(detail)};
}

}  // namespace

LinkVersions decodeLinkVersions(core::ByteView reply) {
    return {byteAt(reply, kVersionsControllerOffset), byteAt(reply, kVersionsRadioOffset)};
}

LinkFirmwareFlags linkFirmwareFlags(const LinkVersions& versions) {
    LinkFirmwareFlags flags;
    if (versions.radio < kRadioVersionRequired) {
        flags.isRadioFirmwareUpdateRequired = true;
        flags.isRadioFirmwareUpdateAvailable = true;
        flags.radioFirmwareChangelog = kRadioFirmwareChangelog;
    }
    if (versions.controller < kControllerVersionRequired) {
        flags.isDeviceFirmwareUpdateRequired = true;
    }
    if (versions.controller < kControllerVersionOffered) {
        flags.isDeviceFirmwareUpdateAvailable = true;
        flags.deviceFirmwareChangelog = kDeviceFirmwareChangelog;
    }
    return flags;
}

SetupReading readSetup(std::uint8_t setupByte) {
    const auto whole = static_cast<std::uint8_t>(setupByte & 0x7F);
    const auto special = [](model::SetupKind kind) { return static_cast<std::uint8_t>(kind); };
    if (whole == special(model::SetupKind::bootingUp) ||
        whole == special(model::SetupKind::firmwareError) ||
        whole == special(model::SetupKind::ignore)) {
        return {model::SetupKind{whole}, false};
    }
    return {model::SetupKind{static_cast<std::uint8_t>(setupByte & 0x1F)},
            (setupByte & kSetupLinkPairingBit) != 0};
}

std::vector<WirelessScanEntry> decodeWirelessScan(core::ByteView reply) {
    const auto count = entriesInReply(reply, kWirelessEntrySize);
    std::vector<WirelessScanEntry> entries;
    entries.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const auto raw =
            reply.subspan(kScanEntriesOffset + i * kWirelessEntrySize, kWirelessEntrySize);
        WirelessScanEntry entry;
        entry.model = raw[kEntryModel];
        entry.rssi = static_cast<std::int8_t>(raw[kEntryRssi]);
        std::copy_n(raw.begin() + kEntryMac, kMacSize, entry.mac.begin());
        entry.setup = raw[kEntrySetup];
        entry.controllerByte = raw[kEntryControllerVersion];
        entry.radioVersion = raw[kEntryRadioVersion];
        entry.groupId = core::readU16BE(raw, kEntryGroupId);
        entries.push_back(entry);
    }
    return entries;
}

std::string macText(const Mac& mac) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(3 * kMacSize - 1);
    for (std::size_t i = 0; i < kMacSize; ++i) {
        if (i > 0) {
            text.push_back(':');
        }
        text.push_back(kDigits[mac[i] >> 4]);
        text.push_back(kDigits[mac[i] & 0x0F]);
    }
    return text;
}

json wirelessScanEntryJson(const WirelessScanEntry& entry, const model::FirmwareCatalog& catalog) {
    const auto model = model::deviceModelFromCode(entry.model);
    const auto setup = readSetup(entry.setup);
    json out = json::object();
    out["mac"] = macText(entry.mac);
    out["rssi"] = static_cast<double>(entry.rssi);
    out["type"] = modelName(entry.model);
    out["setup"] = std::string(model::kSetupKindTable.nameOf(setup.setup));
    out["groupId"] = entry.groupId;
    if (model == kTiltReportingModel) {
        out["isTilted"] = static_cast<unsigned>(entry.controllerByte & 0x01);
    }
    if (setup.linkPairingActive) {
        out["linkPairigingActive"] = true;  // the key as clients spell it
    }
    const auto radio = catalog.radioUpdateNeeded(model, 0, entry.radioVersion);
    out["isRadioFirmwareUpdateAvailable"] = radio.updateNeeded;
    if (radio.updateNeeded) {
        out["radioChangelog"] = radio.changelog;
    }
    const auto device = catalog.deviceUpdateNeeded(model, 0, entry.controllerByte >> 1);
    out["isDeviceFirmwareUpdateAvailable"] = device.updateNeeded;
    if (device.updateNeeded) {
        out["deviceChangelog"] = device.changelog;
    }
    return out;
}

json wirelessScanJson(core::ByteView reply, const model::FirmwareCatalog& catalog) {
    json data = json::array();
    for (const auto& entry : decodeWirelessScan(reply)) {
        data.push_back(wirelessScanEntryJson(entry, catalog));
    }
    return data;
}

std::vector<CanScanEntry> decodeCanScan(core::ByteView reply) {
    const auto count = entriesInReply(reply, kCanEntrySize);
    std::vector<CanScanEntry> entries;
    entries.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const auto at = kScanEntriesOffset + i * kCanEntrySize;
        entries.push_back({reply[at], reply[at + 1], reply[at + 2]});
    }
    return entries;
}

json canScanEntryJson(const CanScanEntry& entry, const model::FirmwareCatalog& catalog) {
    const auto device = catalog.deviceUpdateNeeded(model::deviceModelFromCode(entry.model),
                                                   entry.versionMajor, entry.versionMinor);
    json out = json::object();
    out["type"] = modelName(entry.model);
    out["isDeviceFirmwareUpdateAvailable"] = device.updateNeeded;
    if (device.updateNeeded) {
        out["changelog"] = device.changelog;
    }
    return out;
}

json canScanJson(core::ByteView reply, const model::FirmwareCatalog& catalog) {
    json data = json::array();
    for (const auto& entry : decodeCanScan(reply)) {
        data.push_back(canScanEntryJson(entry, catalog));
    }
    return data;
}

json wirelessPairStatusJson(core::ByteView reply) {
    const WirelessPairState state{byteAt(reply, kWirelessPairStateOffset)};
    const WirelessPairError error{byteAt(reply, kWirelessPairErrorOffset)};
    return {{"lastPairError", std::string(kWirelessPairErrorTable.nameOf(error))},
            {"wirelessPairState", std::string(kWirelessPairStateTable.nameOf(state))}};
}

json canbusPairStatusJson(core::ByteView reply) {
    const CanbusPairState state{byteAt(reply, kCanbusPairStateOffset)};
    const CanbusPairError error{byteAt(reply, kCanbusPairErrorOffset)};
    return {{"canbusPairState", std::string(kCanbusPairStateTable.nameOf(state))},
            {"lastPairError", std::string(kCanbusPairErrorTable.nameOf(error))}};
}

std::optional<Mac> parseAttachMac(std::string_view text) {
    static const std::regex pattern(std::string(kAttachMacPattern), std::regex::ECMAScript);
    if (!std::regex_match(text.begin(), text.end(), pattern)) {
        return std::nullopt;
    }
    // The pattern fixes the layout: two digits, then one separator, six times.
    Mac mac{};
    for (std::size_t i = 0; i < kMacSize; ++i) {
        mac[i] = *hexLowByte(text.substr(3 * i, 2));
    }
    return mac;
}

std::optional<Mac> parseBundleMac(std::string_view text) {
    Mac mac{};
    std::size_t parts = 0;
    while (parts < kMacSize) {
        const auto colon = text.find(':');
        const auto byte = hexLowByte(text.substr(0, colon));
        if (!byte) {
            return std::nullopt;
        }
        mac[parts++] = *byte;
        if (colon == std::string_view::npos) {
            break;
        }
        text.remove_prefix(colon + 1);
    }
    if (parts < kMacSize) {
        return std::nullopt;
    }
    return mac;
}

ParsedRequest<CreateBundleRequest> readCreateBundleRequest(const json& request) {
    using Parsed = ParsedRequest<CreateBundleRequest>;
    if (!request.is_object()) {
        return failed<CreateBundleRequest>(RequestError::malformed, "request is not an object");
    }
    const auto count = request.find("deviceCount");
    if (count == request.end() || !count->is_number()) {
        return failed<CreateBundleRequest>(RequestError::malformed, "deviceCount must be a number");
    }
    const auto master = request.find("forcedMasterDevice");
    if (master == request.end() || !master->is_string()) {
        return failed<CreateBundleRequest>(RequestError::malformed,
                                           "forcedMasterDevice must be a text");
    }
    // A floating count is truncated toward zero; the test on the double keeps the conversion
    // to an integer defined for any value.
    const double number = std::trunc(model::readNumber(*count));
    if (!(number >= 0.0 && number <= static_cast<double>(kMaxBundleDevices))) {
        return failed<CreateBundleRequest>(RequestError::deviceCountOutOfRange);
    }
    CreateBundleRequest bundle;
    bundle.deviceCount = static_cast<std::int32_t>(number);
    bundle.forcedMasterDevice =
        model::codeOf(model::deviceModelFromName(master->get_ref<const std::string&>()));
    const auto list = request.find("macList");
    if (bundle.deviceCount > 0 && (list == request.end() || !list->is_array())) {
        return failed<CreateBundleRequest>(RequestError::malformed, "macList must be an array");
    }
    for (std::int32_t i = 0; i < bundle.deviceCount; ++i) {
        const auto index = static_cast<std::size_t>(i);
        if (index >= list->size()) {
            return failed<CreateBundleRequest>(RequestError::malformed,
                                               "macList holds fewer than deviceCount addresses");
        }
        const auto& text = (*list)[index];
        if (!text.is_string()) {
            return failed<CreateBundleRequest>(RequestError::malformed, typeName(text));
        }
        const auto mac = parseBundleMac(text.get_ref<const std::string&>());
        if (!mac) {
            return failed<CreateBundleRequest>(RequestError::malformed,
                                               "mac text is not six hexadecimal parts");
        }
        bundle.macs[index] = *mac;
    }
    return Parsed{bundle, RequestError::none, {}};
}

ParsedRequest<Mac> readAttachRequest(const json& request) {
    if (!request.is_object()) {
        return failed<Mac>(RequestError::malformed, "request is not an object");
    }
    const auto text = request.find("mac");
    if (text == request.end()) {
        return failed<Mac>(RequestError::malformed, "mac is missing");
    }
    if (!text->is_string()) {
        return failed<Mac>(RequestError::malformed, typeName(*text));
    }
    auto mac = parseAttachMac(text->get_ref<const std::string&>());
    if (!mac) {
        return failed<Mac>(RequestError::macPatternNotCompatible);
    }
    return {mac, RequestError::none, {}};
}

}  // namespace kinetra::link
