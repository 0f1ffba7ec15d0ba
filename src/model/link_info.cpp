// JSON forms of the link record; run on whichever thread reports or lists links.
#include "model/link_info.hpp"

#include "model/json_numbers.hpp"

namespace kinetra::model {
namespace {

// nlohmann's get<bool> and get<std::string> already refuse other JSON types; strings are read
// through these so that the rule is visible where it matters.
bool requireBool(const json& form, const char* key) {
    return form.at(key).get<bool>();
}
std::string requireText(const json& form, const char* key) {
    return form.at(key).get<std::string>();
}

void putCommonMembers(json& out, const LinkInfo& link) {
    out["linkType"] = kLinkTypeTable.nameOf(link.linkType);
    out["linkID"] = link.linkID;
    out["initialFoundEpoch"] = link.initialFoundEpoch;
    out["linkConnectionType"] = kLinkConnectionTypeTable.nameOf(link.linkConnectionType);
    out["portName"] = link.portName;
    out["isPairingDone"] = link.isPairingDone;
    out["isValid"] = link.present;
    out["isDeviceFirmwareUpdateRequired"] = link.isDeviceFirmwareUpdateRequired;
    out["isRadioFirmwareUpdateRequired"] = link.isRadioFirmwareUpdateRequired;
    out["isDeviceFirmwareUpdateAvailable"] = link.isDeviceFirmwareUpdateAvailable;
    out["isRadioFirmwareUpdateAvailable"] = link.isRadioFirmwareUpdateAvailable;
}

}  // namespace

json toJson(const PortInfo& port) {
    return json{{"baudrate", port.baudrate},
                {"stopBits", port.stopBits},
                {"bitCount", port.bitCount},
                {"flowControl", port.flowControl}};
}

PortInfo portInfoFromJson(const json& port) {
    PortInfo info;
    info.baudrate = readInt32(port.at("baudrate"));
    info.stopBits = readInt32(port.at("stopBits"));
    info.bitCount = readInt32(port.at("bitCount"));
    info.flowControl = requireBool(port, "flowControl");
    return info;
}

json toScannerJson(const LinkInfo& link) {
    json out = json::object();
    putCommonMembers(out, link);
    out["isFirmwareCorrupted"] = link.isFirmwareCorrupted;
    out["portInfo"] = toJson(link.portInfo);
    return out;
}

LinkInfo linkInfoFromScannerJson(const json& form) {
    LinkInfo link;
    link.linkType = kLinkTypeTable.valueOf(requireText(form, "linkType"));
    link.linkID = requireText(form, "linkID");
    link.initialFoundEpoch = requireText(form, "initialFoundEpoch");
    link.linkConnectionType =
        kLinkConnectionTypeTable.valueOf(requireText(form, "linkConnectionType"));
    link.portName = requireText(form, "portName");
    link.isPairingDone = requireBool(form, "isPairingDone");
    link.present = requireBool(form, "isValid");
    link.isDeviceFirmwareUpdateRequired = requireBool(form, "isDeviceFirmwareUpdateRequired");
    link.isRadioFirmwareUpdateRequired = requireBool(form, "isRadioFirmwareUpdateRequired");
    link.isDeviceFirmwareUpdateAvailable = requireBool(form, "isDeviceFirmwareUpdateAvailable");
    link.isRadioFirmwareUpdateAvailable = requireBool(form, "isRadioFirmwareUpdateAvailable");
    link.isFirmwareCorrupted = requireBool(form, "isFirmwareCorrupted");
    link.portInfo = portInfoFromJson(form.at("portInfo"));
    return link;
}

json toListJson(const LinkInfo& link) {
    json out = json::object();
    putCommonMembers(out, link);
    if (!link.deviceFirmwareChangelog.empty()) {
        out["deviceFirmwareChangelog"] = link.deviceFirmwareChangelog;
    }
    if (!link.radioFirmwareChangelog.empty()) {
        out["radioFirmwareChangelog"] = link.radioFirmwareChangelog;
    }
    return out;
}

}  // namespace kinetra::model
