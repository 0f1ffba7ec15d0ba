// Device message framing (length byte, big-endian fields, 16-bit sum, float scaling) and the
// messages of the command table, family by family, with their scalings and refusals.
#include "bundle/device_messages.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "bundle/device_message.hpp"

#include "bundle/motion_messages.hpp"
#include "support/hex.hpp"

namespace kinetra::bundle {
namespace {

using enum model::AxisSlot;
using M = model::DeviceModel;

/// "07 05 01": how messages are written in the protocol notes; a refusal by its reason.
std::string hex(const core::Bytes& bytes) {
    return kinetra::testing::hex(bytes);
}
std::string hex(const BuiltMessage& built) {
    if (const auto* bytes = std::get_if<core::Bytes>(&built)) {
        return hex(*bytes);
    }
    if (const auto* range = std::get_if<OutOfRange>(&built)) {
        return "out of range: " + std::string(range->member);
    }
    return std::get<BuildError>(built) == BuildError::invalidSetup ? "invalid setup" : "too long";
}

AxisValues axes(std::initializer_list<std::pair<model::AxisSlot, float>> given) {
    AxisValues values;
    for (const auto& [slot, value] : given) {
        values.values[static_cast<std::size_t>(slot)] = value;
    }
    return values;
}

// Fields are big-endian two's complement; a 16-bit field takes the low bits of any value. A
// float is scaled in double and truncated toward zero; out of range it gives 0x80000000.
// One counted byte beyond the 255 the length byte holds is refused and leaves the buffer alone.
TEST(DeviceMessage, LengthCountsEverythingBeforeTheBigEndianSum) {
    EXPECT_EQ(hex(*buildDeviceMessage(0xE6, {})), "02 E6 00 E8");
    EXPECT_EQ(hex(*buildDeviceMessage(
                  0x05, {byteField(1), field32(static_cast<std::int32_t>(0xCAFEF00Eu))})),
              "07 05 01 CA FE F0 0E 02 D3");
    EXPECT_EQ(hex(*buildDeviceMessage(0x01, {field32(-1000)})), "06 01 FF FF FC 18 03 19");
    EXPECT_EQ(hex(*buildDeviceMessage(0x01, {field16(160000)})), "04 01 71 00 00 76");
    EXPECT_EQ(hex(*buildDeviceMessage(0x01, {field16(kScaledOutOfRange)})), "04 01 00 00 00 05");
    EXPECT_EQ(scaled(-0.0019f, 1000.0), -1);
    EXPECT_EQ(scaled(0.7f, 32000.0), 22399);  // 0.69999998... stays below 22400 in double
    EXPECT_EQ(scaled(3e38f, 1000.0), kScaledOutOfRange);
    std::vector<Field> fields(63, field32(-1));  // 256 counted bytes with the two below
    fields.insert(fields.end(), 2, byteField(1));
    core::Bytes out{0xAA};
    EXPECT_FALSE(appendDeviceMessage(out, 0x10, fields));
    EXPECT_EQ(out, core::Bytes{0xAA});
}

// Store, delete, read (and the answer awaited), abort: index 4, identifier 01 02 03 04.
std::string keyposeMessages(M primary) {
    return hex(keyposeStoreCurrentPoseMessage(primary, 4, 0x01020304)) + " | " +
           hex(keyposeDeletePoseMessage(primary, 4)) + " | " +
           hex(keyposeReadRequestMessage(primary, 4)) + " | " +
           std::to_string(keyposeReadAnswerId(primary).value_or(0)) + " | " +
           hex(motionAbortMessage(primary));
}

// The crane arm takes the slider's key-pose messages; models outside the families have none.
TEST(KeyposeMessages, EachFamilyHasItsOwnOpcodes) {
    EXPECT_EQ(keyposeMessages(M::turretBeta2),
              "07 05 04 01 02 03 04 00 1A | 03 06 04 00 0D | 03 53 04 00 5A | 18 | 02 09 00 0B");
    EXPECT_EQ(keyposeMessages(M::railUnitGen3),
              "07 07 04 01 02 03 04 00 1C | 03 1D 04 00 24 | 03 2D 04 00 34 | 9 | 02 0C 00 0E");
    EXPECT_EQ(keyposeMessages(M::craneArm), keyposeMessages(M::railUnitGen3));
    EXPECT_EQ(keyposeMessages(M::rollerBaseX),
              "07 0D 04 01 02 03 04 00 22 | 03 0E 04 00 15 | 03 2A 04 00 31 | 6 | 02 02 00 04");
    EXPECT_EQ(keyposeMessages(M::lensDriveMax),
              "07 0E 04 01 02 03 04 00 23 | 03 0F 04 00 16 | 03 16 04 00 1D | 5 | 02 04 00 06");
    for (const M primary : {M::floorBase, M::songbird, M::craneArm2, M::railUnitGen1, M{42}}) {
        EXPECT_EQ(keyposeMessages(primary),
                  "invalid setup | invalid setup | invalid setup | 0 | invalid setup");
        EXPECT_EQ(hex(keyposeMoveMessage(primary, {})), "invalid setup");
    }
    // The rail's speed code is computed in float: 0.7 gives 759 (0x2F7), double would give 758.
    EXPECT_EQ(hex(keyposeMoveMessage(M::railUnit, {.second = 1, .speed = 0.7f})),
              "0D 0B 00 00 00 02 F7 00 00 00 00 FF 01 02 11");
}

// Positions in thousandths; the head's focus in whole encoder steps, the lens's focus times
// 1.6146, truncated; the crane arm counts slide and jib tilt the other way round.
TEST(KeyposeMessages, NumericDataPerFamily) {
    const std::uint32_t id = 0xCAFEF00E;
    const auto head = axes({{headPan, 1.5f}, {headTilt, -2.0f}, {focus, 123.9f}, {slide, 0.25f}});
    EXPECT_EQ(hex(keyposeStoreWithNumericDataMessage(M::turretAlpha, 1, id, head)),
              "1F 8C 01 00 00 05 DC FF FF F8 30 00 00 00 7B 00 00 00 FA CA FE F0 0E 00 00 00 00 "
              "00 00 00 00 08 EE");
    const auto slider = axes({{slide, 0.25f}});
    EXPECT_EQ(hex(keyposeStoreWithNumericDataMessage(M::glideTrack, 1, id, slider)),
              "0B 2C 01 CA FE F0 0E 00 00 00 FA 03 F8");
    EXPECT_EQ(hex(keyposeStoreWithNumericDataMessage(M::rollerBase, 1, id, slider)),
              "0B 29 01 CA FE F0 0E 00 00 00 FA 03 F5");
    EXPECT_EQ(hex(keyposeStoreWithNumericDataMessage(M::craneArm, 1, id, slider)),
              "0B 2C 01 CA FE F0 0E FF FF FF 06 06 01");
    EXPECT_EQ(hex(keyposeStoreWithNumericDataMessage(M::craneArm, 1, id,
                                                     axes({{jibPan, 10.0f}, {jibTilt, 5.0f}}))),
              "0F 3E 01 CA FE F0 0E 00 00 27 10 FF FF EC 78 06 AD");
    EXPECT_EQ(hex(keyposeStoreWithNumericDataMessage(M::craneArm, 1, id, {})), "invalid setup");
    EXPECT_EQ(
        hex(keyposeStoreWithNumericDataMessage(M::lensDriveMax, 1, id, axes({{focus, 10.0f}}))),
        "0B 27 01 CA FE F0 0E 00 00 00 10 03 09");
}

// Values clamped to -1..1; a head sends one message per part it moves. Refused: an axis the
// bundle cannot move, half of the jib's pair, a crane arm given nothing, a lens.
TEST(Joystick, ChecksTheGivenAxesAndBuildsTheFamilysMessages) {
    const auto stick = [](M primary, std::uint8_t supported, const AxisValues& values) {
        const auto built = joystickMessages(primary, supported, values);
        if (std::holds_alternative<BuildError>(built)) {
            return std::string("invalid setup");
        }
        std::string out;
        for (const auto& message : std::get<std::vector<core::Bytes>>(built)) {
            out += (out.empty() ? "" : " | ") + hex(message);
        }
        return out;
    };
    EXPECT_EQ(
        stick(
            M::turretAlpha, 0x67,
            axes({{headPan, -0.5f}, {headTilt, 0.25f}, {jibPan, 1}, {jibTilt, -1}, {slide, 0.5f}})),
        "06 0A C1 80 1F 40 01 B0 | 06 83 7D 00 83 00 01 89 | 04 0B 3E 80 00 CD");
    EXPECT_EQ(stick(M::swivelMax, 0x01, axes({{headPan, 0.5f}})), "06 0A 3E 80 00 00 00 CE");
    EXPECT_EQ(stick(M::turretAlpha, 0x03, {}), "");
    EXPECT_EQ(stick(M::glideTrack, 0x04, axes({{slide, -2.0f}})), "06 0D 83 00 70 7F 01 85");
    EXPECT_EQ(stick(M::rollerBase, 0x04, axes({{slide, 0.5f}})), "06 0B 00 00 C3 50 01 24");
    EXPECT_EQ(stick(M::craneArm, 0x64, axes({{slide, 0.5f}})), "06 0D C1 80 70 7F 02 43");
    EXPECT_EQ(stick(M::craneArm, 0x64, axes({{jibPan, 0.5f}, {jibTilt, 0.25f}})),
              "06 42 3E 80 E0 C0 02 A6");
    EXPECT_EQ(stick(M::turretAlpha, 0x03, axes({{slide, 0}})), "invalid setup");
    EXPECT_EQ(stick(M::craneArm, 0x64, axes({{jibPan, 0}})), "invalid setup");
    EXPECT_EQ(stick(M::craneArm, 0x64, {}), "invalid setup");
    EXPECT_EQ(stick(M::lensDriveMax, 0x08, {}), "invalid setup");
}

// Focus, calibration and incline messages by primary device (the command tests hold the lens
// focus and more rail and crane vectors). The crane lengths go through float: 16777219 becomes
// 16777220 before it is scaled, and the sum rounds to float again.
TEST(FocusAndCalibration, ByPrimaryDevice) {
    EXPECT_EQ(hex(focusManualMoveMessage(M::turretAlpha2, -12.7f)), "06 0C FF FF FF F4 04 03");
    EXPECT_EQ(hex(focusManualMoveMessage(M::turretGamma, 1.0f)), "invalid setup");
    EXPECT_EQ(hex(calibrateHeadMessage(M::swivelMax)), "02 04 00 06");
    EXPECT_EQ(hex(calibrateHeadMessage(M::craneArm)), "invalid setup");
    EXPECT_EQ(hex(calibrateLensMessage(M::turretBeta)), "02 71 00 73");
    EXPECT_EQ(hex(calibrateLensMessage(M::lensDriveMax)), "02 10 00 12");
    EXPECT_EQ(hex(calibrateLensMessage(M::swivelMax)), "invalid setup");
    EXPECT_EQ(hex(calibrateRailUnitMessage(M::turretAlpha, true, true)), "03 28 02 00 2D");
    EXPECT_EQ(hex(calibrateRailUnitMessage(M::turretAlpha, true, false)), "03 28 03 00 2E");
    EXPECT_EQ(hex(calibrateRailUnitMessage(M::railUnit, false, false)), "03 10 01 00 14");
    EXPECT_EQ(hex(calibrateRailUnitMessage(M::glideTrack, true, true)), "invalid setup");
    EXPECT_EQ(hex(calibrateCraneArmMessage(M::turretAlpha, 50, 20)), "06 8D 02 3E 00 FA 01 CD");
    EXPECT_EQ(hex(calibrateCraneArmMessage(M::craneArm, 16777219, 20)),
              "0A 45 0A 00 00 70 00 00 00 FA 01 C3");
    EXPECT_EQ(hex(calibrateCraneArmMessage(M::glideTrack, 50, 20)), "invalid setup");
    EXPECT_EQ(hex(inclineWarningConfirmMessage(M::turretGamma)), "02 81 00 83");
    EXPECT_EQ(hex(inclineWarningConfirmMessage(M::railUnitGen3)), "02 32 00 34");
    EXPECT_EQ(hex(inclineWarningConfirmMessage(M::railUnitGen1)), "invalid setup");
}

}  // namespace
}  // namespace kinetra::bundle
