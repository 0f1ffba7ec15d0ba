// Setups: which axes a device or bundle drives, as reported by scans and the limits reply.
#pragma once

#include <cstdint>

#include "core/enum_table.hpp"

namespace kinetra::model {

enum class SetupKind : std::uint8_t {
    none = 0,
    panOnly = 1,
    tiltOnly = 2,
    panTilt = 3,
    slideOnly = 4,
    dollyOnly = 5,
    panAndSlide = 6,
    tiltAndSlide = 7,
    panAndDolly = 8,
    tiltAndDolly = 9,
    panTiltAndSlide = 10,
    panTiltAndDolly = 11,
    groupMember = 12,
    panAndJib = 13,
    tiltAndJib = 14,
    panTiltAndJib = 15,
    jibOnly = 16,
    panAndCraneMax = 17,
    tiltAndCraneMax = 18,
    panTiltAndCraneMax = 19,
    craneMaxOnly = 20,
    followFocusOnly = 21,
    possibleCanbusMaster = 0x1F,
    bootingUp = 0x60,
    firmwareError = 0x70,
    ignore = 0x7F,
};

inline constexpr auto kSetupKindTable = core::makeEnumTable<SetupKind>({
    {SetupKind::none, "none"},
    {SetupKind::panOnly, "panOnly"},
    {SetupKind::tiltOnly, "tiltOnly"},
    {SetupKind::panTilt, "panTilt"},
    {SetupKind::slideOnly, "slideOnly"},
    {SetupKind::dollyOnly, "dollyOnly"},
    {SetupKind::panAndSlide, "panAndSlide"},
    {SetupKind::tiltAndSlide, "tiltAndSlide"},
    {SetupKind::panAndDolly, "panAndDolly"},
    {SetupKind::tiltAndDolly, "tiltAndDolly"},
    {SetupKind::panTiltAndSlide, "panTiltAndSlide"},
    {SetupKind::panTiltAndDolly, "panTiltAndDolly"},
    {SetupKind::groupMember, "groupMember"},
    {SetupKind::panAndJib, "panAndJib"},
    {SetupKind::tiltAndJib, "tiltAndJib"},
    {SetupKind::panTiltAndJib, "panTiltAndJib"},
    {SetupKind::jibOnly, "jibOnly"},
    {SetupKind::panAndCraneMax, "panAndCraneMax"},
    {SetupKind::tiltAndCraneMax, "tiltAndCraneMax"},
    {SetupKind::panTiltAndCraneMax, "panTiltAndCraneMax"},
    {SetupKind::craneMaxOnly, "craneMaxOnly"},
    {SetupKind::followFocusOnly, "followFocusOnly"},
    {SetupKind::possibleCanbusMaster, "possibleCanbusMaster"},
    {SetupKind::bootingUp, "bootingUp"},
    {SetupKind::firmwareError, "firmwareError"},
    {SetupKind::ignore, "ignore"},
});

}  // namespace kinetra::model
