#include "model/firmware_catalog.hpp"

#include <spdlog/spdlog.h>

namespace kinetra::model {
namespace {

// Release notes are data shown to users in the link list and scan results.
constexpr const char* kBuiltInCatalogue = R"({
  "railUnit": {
    "versionEsp": {"changelog": "Faster reconnect after radio loss.\nGroup id shown in scans.", "versionMajor": 0, "versionMinor": 32},
    "versionStm": {"changelog": "Smoother ramps at low speed.\nIncline warning debounced.", "versionMajor": 0, "versionMinor": 61}
  },
  "turretAlpha": {
    "versionEsp": {"changelog": "Faster reconnect after radio loss.\nGroup id shown in scans.", "versionMajor": 0, "versionMinor": 32},
    "versionStm": {"changelog": "Dynamic moves with speed and duration.\nPan encoder drift fixed.", "versionMajor": 0, "versionMinor": 101}
  },
  "turretBeta": {
    "versionEsp": {"changelog": "Faster reconnect after radio loss.\nGroup id shown in scans.", "versionMajor": 0, "versionMinor": 32},
    "versionStm": {"changelog": "Dynamic moves with speed and duration.\nTilt end stop softened.", "versionMajor": 0, "versionMinor": 101}
  },
  "turretGamma": {
    "versionEsp": {"changelog": "Stable pairing in crowded channels.", "versionMajor": 0, "versionMinor": 26},
    "versionStm": {"changelog": "Tilted mounting detected at start.\nLower idle current.", "versionMajor": 0, "versionMinor": 91}
  },
  "rollerBaseX": {
    "versionEsp": {"changelog": "Faster reconnect after radio loss.\nGroup id shown in scans.", "versionMajor": 0, "versionMinor": 32},
    "versionStm": {"changelog": "Wheel slip compensation.\nKey-pose loops resume after abort.", "versionMajor": 0, "versionMinor": 73}
  },
  "glideTrackMax": {
    "versionEsp": {"changelog": "Faster reconnect after radio loss.\nGroup id shown in scans.", "versionMajor": 0, "versionMinor": 32},
    "versionStm": {"changelog": "Belt tension calibration.\nQuieter motor at slow speeds.", "versionMajor": 0, "versionMinor": 62}
  },
  "glideTrack": {
    "versionEsp": {"changelog": "Faster reconnect after radio loss.\nGroup id shown in scans.", "versionMajor": 0, "versionMinor": 32},
    "versionStm": {"changelog": "Belt tension calibration.\nEnd stop detection more reliable.", "versionMajor": 0, "versionMinor": 65}
  },
  "rollerBase": {
    "versionEsp": {"changelog": "Faster reconnect after radio loss.\nGroup id shown in scans.", "versionMajor": 0, "versionMinor": 32},
    "versionStm": {"changelog": "Wheel slip compensation.\nBattery reading smoothed.", "versionMajor": 0, "versionMinor": 74}
  },
  "rollerBaseMax": {
    "versionEsp": {"changelog": "Faster reconnect after radio loss.\nGroup id shown in scans.", "versionMajor": 0, "versionMinor": 32},
    "versionStm": {"changelog": "Wheel slip compensation.\nHeavier payload profile.", "versionMajor": 0, "versionMinor": 73}
  },
  "craneArm": {
    "versionEsp": {"changelog": "CAN bus master election fixed.\nFaster reconnect after radio loss.", "versionMajor": 0, "versionMinor": 34},
    "versionStm": {"changelog": "Arm length taken into slide limits.\nCounterweight check at start.", "versionMajor": 0, "versionMinor": 68}
  },
  "railUnitGen3": {
    "versionEsp": {"changelog": "Faster reconnect after radio loss.\nGroup id shown in scans.", "versionMajor": 0, "versionMinor": 32},
    "versionStm": {"changelog": "Fine step mode.\nIncline warning confirmation.", "versionMajor": 0, "versionMinor": 18}
  },
  "swivelMax": {
    "versionEsp": {"changelog": "Faster reconnect after radio loss.\nGroup id shown in scans.", "versionMajor": 0, "versionMinor": 32},
    "versionStm": {"changelog": "Real-time moves with duration.\nPan backlash compensation.", "versionMajor": 0, "versionMinor": 92}
  },
  "lensDriveMax": {
    "versionEsp": {"changelog": "Faster reconnect after radio loss.\nGroup id shown in scans.", "versionMajor": 0, "versionMinor": 32},
    "versionStm": {"changelog": "Focus calibration end stops.\nReal-time focus moves.", "versionMajor": 0, "versionMinor": 17}
  },
  "turretAlpha2": {
    "versionEsp": {"changelog": "Faster reconnect after radio loss.\nGroup id shown in scans.", "versionMajor": 0, "versionMinor": 32},
    "versionStm": {"changelog": "Dynamic moves with speed and duration.\nLens port power switch.", "versionMajor": 0, "versionMinor": 101}
  },
  "turretBeta2": {
    "versionEsp": {"changelog": "Faster reconnect after radio loss.\nGroup id shown in scans.", "versionMajor": 0, "versionMinor": 32},
    "versionStm": {"changelog": "Dynamic moves with speed and duration.\nLens port power switch.", "versionMajor": 0, "versionMinor": 101}
  }
})";

FirmwareVersion readVersion(const json& version) {
    FirmwareVersion result;
    result.changelog = version.at("changelog").get<std::string>();
    result.versionMinor = version.at("versionMinor").get<std::int32_t>();
    result.versionMajor = version.at("versionMajor").get<std::int32_t>();
    return result;
}

// Each component is compared on its own, not the pair as a whole: a device reporting 1.0
// against a catalogue 0.32 is still offered the update. Devices in the field rely on this.
FirmwareCheck compare(const FirmwareVersion& newest, std::int32_t major, std::int32_t minor) {
    if (newest.versionMajor > major || newest.versionMinor > minor) {
        return {true, newest.changelog};
    }
    return {};
}

}  // namespace

const json& FirmwareCatalog::builtInText() {
    static const json parsed = json::parse(kBuiltInCatalogue);
    return parsed;
}

FirmwareCatalog::FirmwareCatalog() : FirmwareCatalog(builtInText()) {}

FirmwareCatalog::FirmwareCatalog(const json& catalogue) {
    for (const auto& [name, versions] : catalogue.items()) {
        FirmwareCatalogEntry entry;
        entry.device = readVersion(versions.at("versionStm"));
        entry.radio = readVersion(versions.at("versionEsp"));
        entry.model = deviceModelFromName(name);
        entries_.try_emplace(codeOf(entry.model), std::move(entry));
    }
}

FirmwareCheck FirmwareCatalog::radioUpdateNeeded(DeviceModel model, std::int32_t major,
                                                 std::int32_t minor) const {
    const auto found = entries_.find(codeOf(model));
    if (found == entries_.end()) {
        spdlog::info("there is no device.");
        return {};
    }
    return compare(found->second.radio, major, minor);
}

FirmwareCheck FirmwareCatalog::deviceUpdateNeeded(DeviceModel model, std::int32_t major,
                                                  std::int32_t minor) const {
    const auto found = entries_.find(codeOf(model));
    if (found == entries_.end()) {
        spdlog::info("there is no device.");
        return {};
    }
    return compare(found->second.device, major, minor);
}

}  // namespace kinetra::model
