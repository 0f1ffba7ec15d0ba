// The newest radio and device firmware the server knows per device model, compiled in.
// Built by each link handler on its own thread; read-only afterwards.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "core/json.hpp"
#include "model/device_model.hpp"

namespace kinetra::model {

struct FirmwareVersion {
    std::string changelog;
    std::int32_t versionMinor = 0;
    std::int32_t versionMajor = 0;
};

struct FirmwareCatalogEntry {
    DeviceModel model = DeviceModel::railUnit;
    FirmwareVersion radio;   // "versionEsp"
    FirmwareVersion device;  // "versionStm"
};

/// The answer of a check: whether an update exists, and its changelog (empty when not).
struct FirmwareCheck {
    bool updateNeeded = false;
    std::string changelog;
    bool operator==(const FirmwareCheck&) const = default;
};

class FirmwareCatalog {
public:
    /// The built-in catalogue.
    FirmwareCatalog();
    /// A catalogue from its JSON form; throws nlohmann::json's type error on a malformed entry.
    explicit FirmwareCatalog(const json& catalogue);

    /// Whether the catalogue's radio firmware for `model` is newer than major.minor.
    FirmwareCheck radioUpdateNeeded(DeviceModel model, std::int32_t major,
                                    std::int32_t minor) const;
    /// Whether the catalogue's device firmware for `model` is newer than major.minor.
    FirmwareCheck deviceUpdateNeeded(DeviceModel model, std::int32_t major,
                                     std::int32_t minor) const;

    const std::map<std::int32_t, FirmwareCatalogEntry>& entries() const { return entries_; }

    /// The built-in catalogue text, parsed once per process.
    static const json& builtInText();

private:
    std::map<std::int32_t, FirmwareCatalogEntry> entries_;
};

}  // namespace kinetra::model
