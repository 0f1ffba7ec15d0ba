#include "bundle/device_messages.hpp"

#include <gtest/gtest.h>

#include "test_support.hpp"

namespace kinetra::bundle {
namespace {

using model::AxisSlot;
using test::hex;
using M = DeviceModel;

AxisValues axes(std::initializer_list<std::pair<AxisSlot, float>> given) {
    AxisValues values;
    for (const auto& [slot, value] : given) {
        values.values[static_cast<std::size_t>(slot)] = value;
    }
    return values;
}

std::vector<std::string> hexAll(const BuiltMessages& built) {
    std::vector<std::string> out;
    if (const auto* messages = std::get_if<std::vector<core::Bytes>>(&built)) {
        for (const auto& message : *messages) {
            out.push_back(hex(message));
        }
    } else {
        out.push_back("invalid setup");
    }
    return out;
}

constexpr std::uint32_t kId = 0x01020304;

TEST(KeyposeMessages, EachFamilyHasItsOwnOpcodes) {
    struct Row {
        M primary;
        const char* store;
        const char* remove;
        const char* read;
        std::uint8_t answerId;
        const char* abort;
    };
    const Row rows[] = {
        {M::turretBeta2, "07 05 04 01 02 03 04 00 1A", "03 06 04 00 0D", "03 53 04 00 5A", 18,
         "02 09 00 0B"},
        {M::railUnitGen3, "07 07 04 01 02 03 04 00 1C", "03 1D 04 00 24", "03 2D 04 00 34", 9,
         "02 0C 00 0E"},
        // The crane arm takes the slider's key-pose messages.
        {M::craneArm, "07 07 04 01 02 03 04 00 1C", "03 1D 04 00 24", "03 2D 04 00 34", 9,
         "02 0C 00 0E"},
        {M::rollerBaseX, "07 0D 04 01 02 03 04 00 22", "03 0E 04 00 15", "03 2A 04 00 31", 6,
         "02 02 00 04"},
        {M::lensDriveMax, "07 0E 04 01 02 03 04 00 23", "03 0F 04 00 16", "03 16 04 00 1D", 5,
         "02 04 00 06"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(model::nameOf(row.primary));
        EXPECT_EQ(hex(keyposeStoreCurrentPoseMessage(row.primary, 4, kId)), row.store);
        EXPECT_EQ(hex(keyposeDeletePoseMessage(row.primary, 4)), row.remove);
        EXPECT_EQ(hex(keyposeReadRequestMessage(row.primary, 4)), row.read);
        EXPECT_EQ(keyposeReadAnswerId(row.primary), row.answerId);
        EXPECT_EQ(hex(motionAbortMessage(row.primary)), row.abort);
    }
}

TEST(KeyposeMessages, ModelsOutsideTheFamiliesHaveNone) {
    for (const M primary :
         {M::floorBase, M::songbird, M::craneArm2, M::railUnitGen1, M::none, M{42}}) {
        SCOPED_TRACE(model::codeOf(primary));
        EXPECT_EQ(hex(keyposeStoreCurrentPoseMessage(primary, 1, kId)), "invalid setup");
        EXPECT_EQ(hex(keyposeDeletePoseMessage(primary, 1)), "invalid setup");
        EXPECT_EQ(hex(motionAbortMessage(primary)), "invalid setup");
        EXPECT_FALSE(keyposeReadAnswerId(primary).has_value());
        EXPECT_EQ(hex(keyposeMoveMessage(primary, {})), "invalid setup");
    }
}

TEST(KeyposeMessages, NumericDataPerFamily) {
    const std::uint32_t id = 0xCAFEF00E;
    const auto head = axes({{AxisSlot::headPan, 1.5f},
                            {AxisSlot::headTilt, -2.0f},
                            {AxisSlot::focus, 123.9f},
                            {AxisSlot::slide, 0.25f}});
    // Focus on a head goes as whole encoder steps, unscaled.
    EXPECT_EQ(hex(keyposeStoreWithNumericDataMessage(M::turretAlpha, 1, id, head)),
              "1F 8C 01 00 00 05 DC FF FF F8 30 00 00 00 7B 00 00 00 FA CA FE F0 0E 00 00 00 00 "
              "00 00 00 00 08 EE");
    const auto slide = axes({{AxisSlot::slide, 0.25f}});
    EXPECT_EQ(hex(keyposeStoreWithNumericDataMessage(M::glideTrack, 1, id, slide)),
              "0B 2C 01 CA FE F0 0E 00 00 00 FA 03 F8");
    EXPECT_EQ(hex(keyposeStoreWithNumericDataMessage(M::rollerBase, 1, id, slide)),
              "0B 29 01 CA FE F0 0E 00 00 00 FA 03 F5");
    // The crane arm counts slide and jib tilt the other way round.
    EXPECT_EQ(hex(keyposeStoreWithNumericDataMessage(M::craneArm, 1, id, slide)),
              "0B 2C 01 CA FE F0 0E FF FF FF 06 06 01");
    EXPECT_EQ(
        hex(keyposeStoreWithNumericDataMessage(
            M::craneArm, 1, id, axes({{AxisSlot::jibPan, 10.0f}, {AxisSlot::jibTilt, 5.0f}}))),
        "0F 3E 01 CA FE F0 0E 00 00 27 10 FF FF EC 78 06 AD");
    EXPECT_EQ(hex(keyposeStoreWithNumericDataMessage(M::craneArm, 1, id, AxisValues{})),
              "invalid setup");
    // 10 focus units are 16.146 lens steps: truncated.
    EXPECT_EQ(hex(keyposeStoreWithNumericDataMessage(M::lensDriveMax, 1, id,
                                                     axes({{AxisSlot::focus, 10.0f}}))),
              "0B 27 01 CA FE F0 0E 00 00 00 10 03 09");
}

TEST(KeyposeMoves, HeadDurationIsRaisedToATenthButNegativeStays) {
    KeyposeMove move{.second = 2, .duration = 0.05f, .acceleration = 0.5f};
    EXPECT_EQ(hex(keyposeMoveMessage(M::turretAlpha, move)),
              "11 07 FF 02 00 3E 80 3E 80 FE 17 B8 00 00 00 00 64 04 C6");
    move.duration = -1.0f;
    EXPECT_EQ(hex(keyposeMoveMessage(M::turretAlpha, move)),
              "11 07 FF 02 00 3E 80 3E 80 FE 17 B8 00 FF FF FC 18 07 74");
    // Speed goes times 1000 times 32000 into 32 bits.
    const KeyposeMove bySpeed{.second = 2, .speed = 0.5f, .acceleration = 0.5f};
    EXPECT_EQ(hex(keyposeMoveMessage(M::swivelMax, bySpeed)),
              "11 07 FF 02 00 3E 80 3E 80 00 F4 24 00 FF FF FC 18 06 BF");
}

TEST(KeyposeMoves, LensSwapsTheIndices) {
    const KeyposeMove loop{
        .first = 1, .second = 3, .speed = 0.25f, .acceleration = 0.5f, .loop = true};
    EXPECT_EQ(hex(keyposeMoveMessage(M::lensDriveMax, loop)),
              "11 0C 03 01 01 3E 80 3E 80 00 00 1F 40 FF FF FC 18 05 0F");
}

TEST(KeyposeMoves, SliderAndDollyChooseByDuration) {
    const KeyposeMove bySpeed{.second = 2, .speed = 0.5f, .acceleration = 0.5f};
    EXPECT_EQ(hex(keyposeMoveMessage(M::railUnit, bySpeed)),
              "0D 0B 00 00 00 02 21 3E 80 3E 80 FF 02 02 B8");
    EXPECT_EQ(hex(keyposeMoveMessage(M::rollerBase, bySpeed)),
              "0B 16 FF 02 00 07 A1 20 3E 80 00 02 A8");
    const KeyposeMove loop{
        .first = 1, .second = 3, .duration = 2.0f, .acceleration = 0.5f, .loop = true};
    EXPECT_EQ(hex(keyposeMoveMessage(M::craneArm, loop)),
              "0D 1E 01 00 00 07 D0 3E 80 3E 80 01 03 02 83");
    EXPECT_EQ(hex(keyposeMoveMessage(M::rollerBaseMax, loop)),
              "0B 10 01 03 00 00 07 D0 3E 80 01 01 B5");
    const KeyposeMove shortMove{.second = 2, .duration = 0.05f, .acceleration = 0.5f};
    EXPECT_EQ(hex(keyposeMoveMessage(M::glideTrackMax, shortMove)),
              "0D 1E 00 00 00 00 64 3E 80 3E 80 FF 02 03 0C");
}

// The rail's speed code is computed in float: 0.7 gives 759, where double would give 758.
TEST(KeyposeMoves, SliderSpeedCodeIsComputedInFloat) {
    const KeyposeMove move{.first = 0xFF, .second = 1, .speed = 0.7f};
    EXPECT_EQ(hex(keyposeMoveMessage(M::railUnit, move)),
              "0D 0B 00 00 00 02 F7 00 00 00 00 FF 01 02 11");
}

TEST(RealTimeMove, OneBlockPerGivenAxisInSlotOrder) {
    const auto values = axes({{AxisSlot::headTilt, -2.0f}, {AxisSlot::headPan, 1.5f}});
    EXPECT_EQ(hex(realTimeMoveMessage(2.0f, values)),
              "11 8A 02 0C 80 07 D0 01 00 00 05 DC 09 FF FF F8 30 06 11");
    // Focus goes in lens steps: 10 units are 16146 thousandths of a step.
    EXPECT_EQ(hex(realTimeMoveMessage(0.5f, axes({{AxisSlot::focus, 10.0f}}))),
              "0C 8A 01 0C 80 01 F4 19 00 00 3F 12 02 82");
    const auto all = realTimeMoveMessage(1.0f, axes({{AxisSlot::headPan, 0},
                                                     {AxisSlot::headTilt, 0},
                                                     {AxisSlot::slide, 0},
                                                     {AxisSlot::focus, 0},
                                                     {AxisSlot::jibPan, 0},
                                                     {AxisSlot::jibTilt, 0}}));
    const auto& bytes = std::get<core::Bytes>(all);
    ASSERT_EQ(bytes.size(), 7u + 6 * 5 + 2);
    EXPECT_EQ(bytes[0], 37);
    EXPECT_EQ(bytes[7 + 4 * 5], 5 * 8 + 1);  // the jib blocks keep their slot numbers
    EXPECT_EQ(bytes[7 + 5 * 5], 6 * 8 + 1);
}

TEST(Joystick, HeadClampsAndSplitsIntoMessages) {
    const std::uint8_t panTilt = 0x03;
    EXPECT_EQ(
        hexAll(joystickMessages(M::turretAlpha, panTilt,
                                axes({{AxisSlot::headPan, 3.0f}, {AxisSlot::headTilt, 0.0f}}))),
        std::vector<std::string>{"06 0A 7D 00 00 00 00 8D"});
    EXPECT_EQ(hexAll(joystickMessages(M::turretAlpha, 0x67,
                                      axes({{AxisSlot::headPan, -0.5f},
                                            {AxisSlot::headTilt, 0.25f},
                                            {AxisSlot::jibPan, 1.0f},
                                            {AxisSlot::jibTilt, -1.0f},
                                            {AxisSlot::slide, 0.5f}}))),
              (std::vector<std::string>{"06 0A C1 80 1F 40 01 B0", "06 83 7D 00 83 00 01 89",
                                        "04 0B 3E 80 00 CD"}));
    // Pan alone is fine on a head that only pans.
    EXPECT_EQ(hexAll(joystickMessages(M::swivelMax, 0x01, axes({{AxisSlot::headPan, 0.5f}}))),
              std::vector<std::string>{"06 0A 3E 80 00 00 00 CE"});
    EXPECT_TRUE(hexAll(joystickMessages(M::turretAlpha, panTilt, AxisValues{})).empty());
}

TEST(Joystick, RefusesAxesTheBundleCannotMoveOrHalfPairs) {
    const auto refused = std::vector<std::string>{"invalid setup"};
    EXPECT_EQ(hexAll(joystickMessages(M::turretAlpha, 0x03, axes({{AxisSlot::headPan, 1}}))),
              refused);
    EXPECT_EQ(hexAll(joystickMessages(M::turretAlpha, 0x0B, axes({{AxisSlot::focus, 0}}))),
              refused);
    EXPECT_EQ(hexAll(joystickMessages(M::turretAlpha, 0x03, axes({{AxisSlot::slide, 0}}))),
              refused);
    EXPECT_EQ(hexAll(joystickMessages(M::craneArm, 0x64, axes({{AxisSlot::jibPan, 0}}))), refused);
    EXPECT_EQ(hexAll(joystickMessages(M::craneArm, 0x64, axes({{AxisSlot::jibTilt, 0}}))), refused);
    EXPECT_EQ(hexAll(joystickMessages(M::craneArm, 0x64, AxisValues{})), refused);
    EXPECT_EQ(hexAll(joystickMessages(M::lensDriveMax, 0x08, AxisValues{})), refused);
    EXPECT_EQ(hexAll(joystickMessages(M::floorBase, 0x04, axes({{AxisSlot::slide, 0}}))), refused);
}

TEST(Joystick, SliderDollyAndCraneArm) {
    EXPECT_EQ(hexAll(joystickMessages(M::glideTrack, 0x04, axes({{AxisSlot::slide, -2.0f}}))),
              std::vector<std::string>{"06 0D 83 00 70 7F 01 85"});
    EXPECT_EQ(hexAll(joystickMessages(M::glideTrack, 0x04, AxisValues{})),
              std::vector<std::string>{"06 0D 00 00 70 7F 01 02"});
    EXPECT_EQ(hexAll(joystickMessages(M::rollerBase, 0x04, axes({{AxisSlot::slide, 0.5f}}))),
              std::vector<std::string>{"06 0B 00 00 C3 50 01 24"});
    EXPECT_EQ(hexAll(joystickMessages(M::craneArm, 0x64, axes({{AxisSlot::slide, 0.5f}}))),
              std::vector<std::string>{"06 0D C1 80 70 7F 02 43"});
    EXPECT_EQ(hexAll(joystickMessages(
                  M::craneArm, 0x64, axes({{AxisSlot::jibPan, 0.5f}, {AxisSlot::jibTilt, 0.25f}}))),
              std::vector<std::string>{"06 42 3E 80 E0 C0 02 A6"});
}

TEST(FocusAndCalibration, ByPrimaryDevice) {
    EXPECT_EQ(hex(focusManualMoveMessage(M::turretAlpha2, -12.7f)), "06 0C FF FF FF F4 04 03");
    EXPECT_EQ(hex(focusManualMoveMessage(M::lensDriveMax, 2.5f)), "06 19 00 00 00 FA 01 19");
    EXPECT_EQ(hex(focusManualMoveMessage(M::turretGamma, 1.0f)), "invalid setup");

    EXPECT_EQ(hex(calibrateHeadMessage(M::swivelMax)), "02 04 00 06");
    EXPECT_EQ(hex(calibrateHeadMessage(M::craneArm)), "invalid setup");
    EXPECT_EQ(hex(calibrateLensMessage(M::turretBeta)), "02 71 00 73");
    EXPECT_EQ(hex(calibrateLensMessage(M::lensDriveMax)), "02 10 00 12");
    EXPECT_EQ(hex(calibrateLensMessage(M::swivelMax)), "invalid setup");

    EXPECT_EQ(hex(inclineWarningConfirmMessage(M::turretGamma)), "02 81 00 83");
    EXPECT_EQ(hex(inclineWarningConfirmMessage(M::railUnit)), "02 32 00 34");
    EXPECT_EQ(hex(inclineWarningConfirmMessage(M::railUnitGen3)), "02 32 00 34");
    EXPECT_EQ(hex(inclineWarningConfirmMessage(M::glideTrack)), "invalid setup");
}

TEST(FocusAndCalibration, RailModeFromGroundAndSide) {
    EXPECT_EQ(hex(calibrateRailUnitMessage(M::turretAlpha, true, true)), "03 28 02 00 2D");
    EXPECT_EQ(hex(calibrateRailUnitMessage(M::turretAlpha, true, false)), "03 28 03 00 2E");
    EXPECT_EQ(hex(calibrateRailUnitMessage(M::railUnit, false, false)), "03 10 01 00 14");
    EXPECT_EQ(hex(calibrateRailUnitMessage(M::railUnitGen3, false, true)), "03 10 00 00 13");
    EXPECT_EQ(hex(calibrateRailUnitMessage(M::glideTrack, true, true)), "invalid setup");
}

TEST(FocusAndCalibration, CraneLengthsGoThroughFloat) {
    // 50 x 10 + 74 and 20 x 9 + 70.5, truncated.
    EXPECT_EQ(hex(calibrateCraneArmMessage(M::turretAlpha, 50, 20)), "06 8D 02 3E 00 FA 01 CD");
    EXPECT_EQ(hex(calibrateCraneArmMessage(M::craneArm, 50, 20)),
              "0A 45 00 00 02 3E 00 00 00 FA 01 89");
    // 16777217 is not a float: it becomes 16777216, and the sum rounds to float again.
    EXPECT_EQ(hex(calibrateCraneArmMessage(M::craneArm, 16777217, 20)),
              "0A 45 0A 00 00 50 00 00 00 FA 01 A3");
    EXPECT_EQ(hex(calibrateCraneArmMessage(M::glideTrack, 50, 20)), "invalid setup");
}

TEST(DynamicMove, SingleHeadOnly) {
    DynamicMove move{0.5f, -0.25f, 1.0f, 0.5f, false};
    EXPECT_EQ(hex(dynamicMoveMessage(M::turretAlpha, 1, move)),
              "12 BB 00 00 3E 80 FF FF E0 C0 00 00 7D 00 00 0F 42 40 06 37");
    // A float argument is scaled in double: 0.01f x 2000000 is 19999.9995.
    move.speedOrDuration = 0.01f;
    EXPECT_EQ(hex(dynamicMoveMessage(M::turretAlpha, 1, move)),
              "12 BB 00 00 3E 80 FF FF E0 C0 00 00 7D 00 00 00 4E 1F 06 13");
    const DynamicMove byDuration{0.5f, -0.25f, 1.0f, 2.0f, true};
    EXPECT_EQ(hex(dynamicMoveMessage(M::turretAlpha, 1, byDuration)),
              "12 BC 00 00 3E 80 FF FF E0 C0 00 00 7D 00 00 00 07 D0 06 7E");
    EXPECT_EQ(hex(dynamicMoveMessage(M::turretAlpha, 2, byDuration)), "invalid setup");
    EXPECT_EQ(hex(dynamicMoveMessage(M::glideTrack, 1, byDuration)), "invalid setup");
}

TEST(FixedMessages, StatusAndLimitsRequests) {
    EXPECT_EQ(hex(statusRequestMessage()), "02 E6 00 E8");
    EXPECT_EQ(hex(numericLimitsRequestMessage()), "02 B3 00 B5");
    for (const M model :
         {M::railUnit, M::turretAlpha, M::craneArm, M::lensDriveMax, M::turretBeta2}) {
        EXPECT_EQ(numericLimitsAnswerId(model), 26) << model::codeOf(model);
    }
    for (const M model :
         {M::floorBase, M::songbird, M::craneArm2, M{18}, M::railUnitGen1, M::none}) {
        EXPECT_EQ(numericLimitsAnswerId(model), 0) << model::codeOf(model);
    }
}

TEST(FirmwareMinimum, OnlyTheListedModelsHaveOne) {
    EXPECT_EQ(minimumRealTimeFirmware(M::swivelMax), 94);
    EXPECT_EQ(minimumRealTimeFirmware(M::turretBeta2), 102);
    EXPECT_EQ(minimumRealTimeFirmware(M::railUnitGen3), 19);
    EXPECT_EQ(minimumRealTimeFirmware(M::lensDriveMax), 18);
    EXPECT_FALSE(minimumRealTimeFirmware(M::turretGamma).has_value());
    EXPECT_FALSE(minimumRealTimeFirmware(M::railUnit).has_value());
}

}  // namespace
}  // namespace kinetra::bundle
