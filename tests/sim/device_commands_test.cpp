// The emulated devices read what the server's builders write, family by family, and refuse
// what no device would take.
#include "sim/device_commands.hpp"

#include <algorithm>
#include <numeric>

#include <gtest/gtest.h>

#include "bundle/device_messages.hpp"
#include "bundle/motion_messages.hpp"

namespace kinetra::sim {
namespace {

using model::AxisSlot;
using M = model::DeviceModel;

core::Bytes bytesOf(const bundle::BuiltMessage& built) {
    return std::get<core::Bytes>(built);
}

model::AxisValues axes(std::initializer_list<std::pair<AxisSlot, float>> given) {
    model::AxisValues values;
    for (const auto& [slot, value] : given) {
        values.values[static_cast<std::size_t>(slot)] = value;
    }
    return values;
}

template <typename Command>
Command read(const core::Bytes& message, M primary) {
    const auto read = readDeviceMessage(message, primary);
    EXPECT_EQ(read.check, MessageCheck::ok);
    EXPECT_TRUE(read.command && std::holds_alternative<Command>(*read.command))
        << "opcode " << int(read.opcode);
    return read.command && std::holds_alternative<Command>(*read.command)
               ? std::get<Command>(*read.command)
               : Command{};
}

double at(const AxisTargets& targets, AxisSlot slot) {
    return targets[static_cast<std::size_t>(slot)].value_or(-999999.0);
}

TEST(DeviceMessages, KeyPoseMessagesReadBackInEveryFamily) {
    for (const M primary :
         {M::turretAlpha2, M::glideTrack, M::craneArm, M::rollerBase, M::lensDriveMax}) {
        SCOPED_TRACE(model::nameOf(primary));
        const auto store = read<cmd::KeyposeStore>(
            bytesOf(bundle::keyposeStoreCurrentPoseMessage(primary, 4, 0xCAFEF00E)), primary);
        EXPECT_EQ(store.index, 4);
        EXPECT_EQ(store.identifier, 0xCAFEF00Eu);
        EXPECT_TRUE(std::none_of(store.values.begin(), store.values.end(),
                                 [](const auto& v) { return v.has_value(); }));
        EXPECT_EQ(
            read<cmd::KeyposeDelete>(bytesOf(bundle::keyposeDeletePoseMessage(primary, 3)), primary)
                .index,
            3);
        EXPECT_EQ(
            read<cmd::KeyposeRead>(bytesOf(bundle::keyposeReadRequestMessage(primary, 5)), primary)
                .index,
            5);
        read<cmd::Abort>(bytesOf(bundle::motionAbortMessage(primary)), primary);
        read<cmd::StatusRequest>(bundle::statusRequestMessage(), primary);
        read<cmd::LimitsRequest>(bundle::numericLimitsRequestMessage(), primary);
    }
}

// Every family scales speeds its own way; all of them mean a fraction of the top speed.
TEST(DeviceMessages, KeyPoseMovesKeepSpeedDurationAndIndices) {
    for (const M primary :
         {M::turretAlpha2, M::glideTrack, M::craneArm, M::rollerBase, M::lensDriveMax}) {
        SCOPED_TRACE(model::nameOf(primary));
        const auto bySpeed = read<cmd::KeyposeMove>(
            bytesOf(bundle::keyposeMoveMessage(primary, {0xFF, 2, 0.5f, -1.0f, 0.25f, false})),
            primary);
        EXPECT_EQ(bySpeed.first, 0xFF);
        EXPECT_EQ(bySpeed.second, 2);
        EXPECT_NEAR(bySpeed.speed, 0.5, 1e-3);
        EXPECT_LE(bySpeed.durationMs, 0);
        EXPECT_FALSE(bySpeed.loop);

        const auto loop = read<cmd::KeyposeMove>(
            bytesOf(bundle::keyposeMoveMessage(primary, {1, 3, -1.0f, 2.5f, 0.25f, true})),
            primary);
        EXPECT_EQ(loop.first, 1);
        EXPECT_EQ(loop.second, 3);
        EXPECT_EQ(loop.durationMs, 2500);
        EXPECT_TRUE(loop.loop);
        EXPECT_NEAR(loop.acceleration, 0.25, 1e-3);
    }
}

TEST(DeviceMessages, SticksAndNumericPosesCarryTheirAxes) {
    const auto head = M::turretAlpha2;
    const std::uint8_t panTiltSlide = 0x07;
    const auto stick = std::get<std::vector<core::Bytes>>(bundle::joystickMessages(
        head, panTiltSlide,
        axes({{AxisSlot::headPan, 0.5f}, {AxisSlot::headTilt, -1.0f}, {AxisSlot::slide, 0.25f}})));
    ASSERT_EQ(stick.size(), 2u);
    const auto panTilt = read<cmd::Joystick>(stick[0], head).deflections;
    EXPECT_NEAR(at(panTilt, AxisSlot::headPan), 0.5, 1e-4);
    EXPECT_NEAR(at(panTilt, AxisSlot::headTilt), -1.0, 1e-4);
    EXPECT_NEAR(at(read<cmd::Joystick>(stick[1], head).deflections, AxisSlot::slide), 0.25, 1e-4);

    const auto dollyStick = std::get<std::vector<core::Bytes>>(
        bundle::joystickMessages(M::rollerBase, 0x04, axes({{AxisSlot::slide, -0.75f}})));
    EXPECT_NEAR(at(read<cmd::Joystick>(dollyStick[0], M::rollerBase).deflections, AxisSlot::slide),
                -0.75, 1e-4);

    const auto pose = read<cmd::KeyposeStore>(
        bytesOf(bundle::keyposeStoreWithNumericDataMessage(head, 2, 7,
                                                           axes({{AxisSlot::headPan, 12.5f},
                                                                 {AxisSlot::headTilt, -3.0f},
                                                                 {AxisSlot::slide, 0.4f},
                                                                 {AxisSlot::focus, 1234.0f}}))),
        head);
    EXPECT_EQ(pose.index, 2);
    EXPECT_EQ(pose.identifier, 7u);
    EXPECT_EQ(at(pose.values, AxisSlot::headPan), 12500);
    EXPECT_EQ(at(pose.values, AxisSlot::headTilt), -3000);
    EXPECT_EQ(at(pose.values, AxisSlot::slide), 400);
    EXPECT_EQ(at(pose.values, AxisSlot::focus), 1234);  // encoder steps as they are

    // A lens stores focus in encoder steps: 100 focus units are 161 steps.
    const auto lens =
        read<cmd::KeyposeStore>(bytesOf(bundle::keyposeStoreWithNumericDataMessage(
                                    M::lensDriveMax, 1, 7, axes({{AxisSlot::focus, 100.0f}}))),
                                M::lensDriveMax);
    EXPECT_EQ(at(lens.values, AxisSlot::focus), 161);
}

TEST(DeviceMessages, RealTimeMovesCarryTargetsAndDuration) {
    const auto message =
        bytesOf(bundle::realTimeMoveMessage(0.25f, axes({{AxisSlot::headPan, 10.0f},
                                                         {AxisSlot::headTilt, -5.5f},
                                                         {AxisSlot::focus, 100.0f}})));
    const auto move = read<cmd::RealTimeMove>(message, M::turretAlpha2);
    EXPECT_EQ(move.durationMs, 250);
    EXPECT_EQ(at(move.targets, AxisSlot::headPan), 10000);
    EXPECT_EQ(at(move.targets, AxisSlot::headTilt), -5500);
    EXPECT_NEAR(at(move.targets, AxisSlot::focus), 161.46, 1e-3);  // steps
    EXPECT_FALSE(move.targets[static_cast<std::size_t>(AxisSlot::slide)].has_value());
}

TEST(DeviceMessages, CalibrationsFocusAndDynamicMoves) {
    const auto head = M::turretAlpha2;
    EXPECT_EQ(read<cmd::Calibrate>(bytesOf(bundle::calibrateHeadMessage(head)), head).what,
              cmd::Calibration::head);
    const auto rail =
        read<cmd::Calibrate>(bytesOf(bundle::calibrateRailUnitMessage(head, true, false)), head);
    EXPECT_EQ(rail.what, cmd::Calibration::railUnit);
    EXPECT_EQ(rail.mode, 3);  // on the ground, not on the left side
    const auto crane = read<cmd::Calibrate>(
        bytesOf(bundle::calibrateCraneArmMessage(M::craneArm, 12, 5)), M::craneArm);
    EXPECT_EQ(crane.what, cmd::Calibration::craneArm);
    EXPECT_EQ(crane.jibLength, 194);  // 12 x 10 + 74
    EXPECT_EQ(read<cmd::Calibrate>(bytesOf(bundle::calibrateLensMessage(M::lensDriveMax)),
                                   M::lensDriveMax)
                  .what,
              cmd::Calibration::lens);

    EXPECT_EQ(
        read<cmd::FocusMove>(bytesOf(bundle::focusManualMoveMessage(head, -40.0f)), head).steps,
        -40);
    EXPECT_EQ(read<cmd::FocusMove>(bytesOf(bundle::focusManualMoveMessage(M::lensDriveMax, 3.0f)),
                                   M::lensDriveMax)
                  .steps,
              3);

    const auto turn = read<cmd::DynamicMove>(
        bytesOf(bundle::dynamicMoveMessage(head, 1, {90.0f, -10.0f, 0.5f, 2.0f, true})), head);
    EXPECT_DOUBLE_EQ(turn.pan, 90000.0);
    EXPECT_DOUBLE_EQ(turn.tilt, -10000.0);
    EXPECT_EQ(turn.durationMs, 2000);
}

TEST(DeviceMessages, OnlyRailUnitsTakeTheRailsOwnMessages) {
    const auto calibrate = bytesOf(bundle::calibrateRailUnitMessage(M::railUnitGen3, false, true));
    EXPECT_EQ(read<cmd::Calibrate>(calibrate, M::railUnitGen3).mode, 0);
    // A glide track is a slider too, but has no incline sensor to calibrate.
    EXPECT_EQ(readDeviceMessage(calibrate, M::glideTrack).check, MessageCheck::unknownOpcode);
}

TEST(DeviceMessages, RefusesWhatNoDeviceWouldTake) {
    const auto store = bytesOf(bundle::keyposeStoreCurrentPoseMessage(M::turretAlpha2, 1, 9));
    auto badSum = store;
    ASSERT_EQ(badSum.size(), 9u);
    badSum[8] ^= 0x01;
    auto longer = store;
    longer.push_back(0);
    const core::Bytes lengthOne{0x01, 0xE6, 0x00, 0xE7};

    EXPECT_EQ(readDeviceMessage(badSum, M::turretAlpha2).check, MessageCheck::badChecksum);
    EXPECT_EQ(readDeviceMessage(longer, M::turretAlpha2).check, MessageCheck::lengthMismatch);
    EXPECT_EQ(readDeviceMessage(core::Bytes{0x02, 0xE6}, M::turretAlpha2).check,
              MessageCheck::tooShort);
    EXPECT_EQ(readDeviceMessage(lengthOne, M::turretAlpha2).check, MessageCheck::tooShort);
    // A head's message means nothing to a dolly, and an unknown opcode to anyone.
    EXPECT_EQ(readDeviceMessage(store, M::rollerBase).check, MessageCheck::unknownOpcode);
    EXPECT_EQ(readDeviceMessage(core::Bytes{0x02, 0x77, 0x00, 0x79}, M::turretAlpha2).check,
              MessageCheck::unknownOpcode);
    // A real-time move whose blocks do not fill its length.
    auto realTime = bytesOf(bundle::realTimeMoveMessage(1.0f, axes({{AxisSlot::headPan, 1.0f}})));
    realTime[2] = 2;  // announces two blocks, holds one
    const auto sum = std::accumulate(realTime.begin(), realTime.end() - 2, 0u);
    realTime[realTime.size() - 2] = static_cast<std::uint8_t>(sum >> 8);
    realTime.back() = static_cast<std::uint8_t>(sum);
    EXPECT_EQ(readDeviceMessage(realTime, M::turretAlpha2).check, MessageCheck::unknownOpcode);
}

TEST(DeviceMessages, FindsAWholeMessageAtTheStartOfTheLine) {
    auto bytes = bundle::statusRequestMessage();
    EXPECT_EQ(wholeDeviceMessageAt(bytes, M::turretAlpha2), std::optional<std::size_t>(4));
    bytes.insert(bytes.end(), {0x1C, 0x00});  // whatever follows is not part of it
    EXPECT_EQ(wholeDeviceMessageAt(bytes, M::turretAlpha2), std::optional<std::size_t>(4));
    EXPECT_FALSE(wholeDeviceMessageAt(core::ByteView(bytes).first(3), M::turretAlpha2));
    EXPECT_EQ(announcedDeviceMessageSize(core::ByteView(bytes).first(1)),
              std::optional<std::size_t>(4));
    // A frame's first bytes do not pass for a message: its "sum" is wrong.
    const core::Bytes frame{0x1A, 0x03, 0x00, 0x1D, 0xC0};
    EXPECT_FALSE(wholeDeviceMessageAt(frame, M::turretAlpha2));
}

}  // namespace
}  // namespace kinetra::sim
