// Device model codes, their JSON names and the families that bundle commands dispatch on.
// Pure data; used by every thread that reads or builds device messages.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "core/enum_table.hpp"

namespace kinetra::model {

/// A device model: an 8-bit code on the wire, held as 32 bits. Codes outside the table occur
/// (devices report them); they name as "railUnit" and belong to no family.
enum class DeviceModel : std::int32_t {
    railUnit = 0,
    turretAlpha = 1,
    turretBeta = 2,
    turretGamma = 3,
    floorBase = 4,
    rollerBaseX = 5,
    glideTrackMax = 6,
    glideTrack = 7,
    rollerBase = 8,
    rollerBaseMax = 9,
    craneArm = 10,
    songbird = 11,
    railUnitGen3 = 12,
    swivelMax = 13,
    craneArm2 = 14,
    lensDriveMax = 15,
    turretAlpha2 = 16,
    turretBeta2 = 17,
    railUnitGen1 = 201,
    none = 255,
};

inline constexpr auto kDeviceModelTable = core::makeEnumTable<DeviceModel>({
    {DeviceModel::railUnit, "railUnit"},           {DeviceModel::turretAlpha, "turretAlpha"},
    {DeviceModel::turretBeta, "turretBeta"},       {DeviceModel::turretGamma, "turretGamma"},
    {DeviceModel::floorBase, "floorBase"},         {DeviceModel::rollerBaseX, "rollerBaseX"},
    {DeviceModel::glideTrackMax, "glideTrackMax"}, {DeviceModel::glideTrack, "glideTrack"},
    {DeviceModel::rollerBase, "rollerBase"},       {DeviceModel::rollerBaseMax, "rollerBaseMax"},
    {DeviceModel::craneArm, "craneArm"},           {DeviceModel::songbird, "songbird"},
    {DeviceModel::railUnitGen3, "railUnitGen3"},   {DeviceModel::swivelMax, "swivelMax"},
    {DeviceModel::craneArm2, "craneArm2"},         {DeviceModel::lensDriveMax, "lensDriveMax"},
    {DeviceModel::turretAlpha2, "turretAlpha2"},   {DeviceModel::turretBeta2, "turretBeta2"},
    {DeviceModel::railUnitGen1, "railUnitGen1"},   {DeviceModel::none, "none"},
});

/// The model of a wire code (any 8-bit value; unknown codes are kept as they are).
constexpr DeviceModel deviceModelFromCode(std::int32_t code) {
    return DeviceModel{code};
}
constexpr std::int32_t codeOf(DeviceModel model) {
    return static_cast<std::int32_t>(model);
}

constexpr std::string_view nameOf(DeviceModel model) {
    return kDeviceModelTable.nameOf(model);
}
/// Unknown names read as railUnit (code 0), as the firmware catalogue expects.
constexpr DeviceModel deviceModelFromName(std::string_view name) {
    return kDeviceModelTable.valueOf(name);
}

/// The family selects which device messages a bundle command builds.
enum class DeviceFamily { none, head, slider, dolly, craneArm, lens };

constexpr DeviceFamily familyOf(DeviceModel model) {
    switch (model) {
        case DeviceModel::turretAlpha:
        case DeviceModel::turretBeta:
        case DeviceModel::turretGamma:
        case DeviceModel::swivelMax:
        case DeviceModel::turretAlpha2:
        case DeviceModel::turretBeta2:
            return DeviceFamily::head;
        case DeviceModel::railUnit:
        case DeviceModel::glideTrackMax:
        case DeviceModel::glideTrack:
        case DeviceModel::railUnitGen3:
            return DeviceFamily::slider;
        case DeviceModel::rollerBaseX:
        case DeviceModel::rollerBase:
        case DeviceModel::rollerBaseMax:
            return DeviceFamily::dolly;
        case DeviceModel::craneArm:
            return DeviceFamily::craneArm;
        case DeviceModel::lensDriveMax:
            return DeviceFamily::lens;
        default:
            return DeviceFamily::none;
    }
}

/// Heads with a lens port: they take focus moves and lens calibration themselves.
constexpr bool isFocusCapableHead(DeviceModel model) {
    return model == DeviceModel::turretAlpha || model == DeviceModel::turretBeta ||
           model == DeviceModel::turretAlpha2 || model == DeviceModel::turretBeta2;
}

/// Rail units carry an incline sensor and their own calibration.
constexpr bool isRailUnit(DeviceModel model) {
    return model == DeviceModel::railUnit || model == DeviceModel::railUnitGen3;
}

/// The oldest controller firmware that takes real-time moves, for models that have one.
constexpr std::optional<std::uint16_t> minimumRealTimeFirmware(DeviceModel model) {
    switch (model) {
        case DeviceModel::swivelMax:
            return 94;
        case DeviceModel::turretAlpha:
        case DeviceModel::turretBeta:
        case DeviceModel::turretAlpha2:
        case DeviceModel::turretBeta2:
            return 102;
        case DeviceModel::railUnitGen3:
            return 19;
        case DeviceModel::lensDriveMax:
            return 18;
        default:
            return std::nullopt;
    }
}

}  // namespace kinetra::model
