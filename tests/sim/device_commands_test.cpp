// The emulated devices' messages both ways: they read what the server's builders write, family
// by family, in device units, and refuse what no device would take; what they send up (the
// status message, the key-pose answers of each family) reads back through the server's own
// decoders.
#include "sim/device_commands.hpp"
#include "sim/device_reports.hpp"

#include <numeric>

#include <gtest/gtest.h>

#include "bundle/keypose_answers.hpp"
#include "bundle/motion_messages.hpp"
#include "bundle/status_decoder.hpp"
#include "bundle/status_json.hpp"
#include "test_host.hpp"

namespace kinetra::sim {
namespace {

using namespace bundle;
using model::AxisSlot;
using testing::axes;
using testing::bytesOf;
using M = model::DeviceModel;
using Is = bool (*)(const DeviceCommand&);

constexpr M kHead = M::turretAlpha2;
constexpr M kRail = M::railUnitGen3;
constexpr M kCrane = M::craneArm;
constexpr M kLens = M::lensDriveMax;
constexpr M kFamilies[] = {kHead, M::glideTrack, kCrane, M::rollerBase, kLens};

template <typename Command>
bool is(const DeviceCommand& command) {
    return std::holds_alternative<Command>(command);
}

template <typename Command>
Command read(const BuiltMessage& built, M primary) {
    const auto read = readDeviceMessage(bytesOf(built), primary);
    EXPECT_TRUE(read.command && is<Command>(*read.command)) << "opcode " << int(read.opcode);
    return read.command && is<Command>(*read.command) ? std::get<Command>(*read.command)
                                                      : Command{};
}

double at(const AxisTargets& targets, AxisSlot slot) {
    return targets[static_cast<std::size_t>(slot)].value_or(-999999.0);
}

BuiltMessage stick(M primary, std::uint8_t supported, const model::AxisValues& values,
                   std::size_t index = 0) {
    return std::get<std::vector<core::Bytes>>(joystickMessages(primary, supported, values))
        .at(index);
}

// Each family scales speeds its own way; all of them mean a fraction of the top speed.
TEST(DeviceMessages, KeyPoseMessagesKeepIndicesSpeedDurationAndLoopInEveryFamily) {
    for (const M p : kFamilies) {
        SCOPED_TRACE(model::nameOf(p));
        const auto store =
            read<cmd::KeyposeStore>(keyposeStoreCurrentPoseMessage(p, 4, 0xCAFEF00E), p);
        EXPECT_EQ(std::tuple(store.index, store.identifier), std::tuple(4, 0xCAFEF00Eu));
        EXPECT_EQ(read<cmd::KeyposeDelete>(keyposeDeletePoseMessage(p, 3), p).index, 3);
        EXPECT_EQ(read<cmd::KeyposeRead>(keyposeReadRequestMessage(p, 5), p).index, 5);
        read<cmd::Abort>(motionAbortMessage(p), p);
        const auto bySpeed =
            read<cmd::KeyposeMove>(keyposeMoveMessage(p, {0xFF, 2, 0.5f, -1.0f, 0.25f, false}), p);
        EXPECT_EQ(std::tuple(bySpeed.first, bySpeed.second, bySpeed.loop),
                  std::tuple(0xFF, 2, false));
        EXPECT_NEAR(bySpeed.speed, 0.5, 1e-3);
        EXPECT_LE(bySpeed.durationMs, 0);
        const auto loop =
            read<cmd::KeyposeMove>(keyposeMoveMessage(p, {1, 3, -1.0f, 2.5f, 0.25f, true}), p);
        EXPECT_EQ(std::tuple(loop.first, loop.second, loop.durationMs, loop.loop),
                  std::tuple(1, 3, 2500, true));
        EXPECT_NEAR(loop.acceleration, 0.25, 1e-3);
    }
}

// The messages no other test reads (the motion tests drive head sticks, real-time moves and
// calibrations of their own kind) are each understood by the family they are built for.
TEST(DeviceMessages, EveryOtherServerMessageReadsAsItsCommandInItsFamily) {
    const auto slide = axes({{AxisSlot::slide, 0.5f}});
    const auto jib = axes({{AxisSlot::jibPan, 0.5f}, {AxisSlot::jibTilt, 0.5f}});
    const auto all = axes({{AxisSlot::headPan, 1},
                           {AxisSlot::headTilt, 1},
                           {AxisSlot::slide, 1},
                           {AxisSlot::jibPan, 1},
                           {AxisSlot::jibTilt, 1}});
    const std::tuple<M, BuiltMessage, Is> rows[] = {
        {kHead, stick(kHead, 0x67, all, 1), is<cmd::Joystick>},  // jib
        {kHead, stick(kHead, 0x67, all, 2), is<cmd::Joystick>},  // slide
        {M::glideTrack, stick(M::glideTrack, 0x04, slide), is<cmd::Joystick>},
        {kCrane, stick(kCrane, 0x60, jib), is<cmd::Joystick>},
        {kCrane, stick(kCrane, 0x04, slide), is<cmd::Joystick>},
        {M::glideTrack, keyposeStoreWithNumericDataMessage(M::glideTrack, 1, 2, slide),
         is<cmd::KeyposeStore>},
        {M::rollerBase, keyposeStoreWithNumericDataMessage(M::rollerBase, 1, 2, slide),
         is<cmd::KeyposeStore>},
        {kCrane, keyposeStoreWithNumericDataMessage(kCrane, 1, 2, jib), is<cmd::KeyposeStore>},
        {kHead, calibrateRailUnitMessage(kHead, true, true), is<cmd::Calibrate>},
        {kHead, calibrateLensMessage(kHead), is<cmd::Calibrate>},
        {kLens, calibrateLensMessage(kLens), is<cmd::Calibrate>},
        {kHead, calibrateCraneArmMessage(kHead, 1, 1), is<cmd::Calibrate>},
        {kHead, inclineWarningConfirmMessage(kHead), is<cmd::InclineConfirm>},
        {kHead, dynamicMoveMessage(kHead, 1, {1, 1, 0.5f, 1, false}), is<cmd::DynamicMove>},
    };
    for (const auto& [primary, message, expected] : rows) {
        const auto read = readDeviceMessage(bytesOf(message), primary);
        EXPECT_TRUE(read.check == MessageCheck::ok && read.command && expected(*read.command))
            << model::nameOf(primary) << " opcode " << int(read.opcode);
    }
}

// Head positions and sticks are checked by the motion they cause (emulated_bundle_test); these
// are the scales nothing else looks at.
TEST(DeviceMessages, FocusDollyCraneAndDynamicValuesArriveInDeviceUnits) {
    const auto dolly = stick(M::rollerBase, 0x04, axes({{AxisSlot::slide, -0.75f}}));
    EXPECT_NEAR(at(read<cmd::Joystick>(dolly, M::rollerBase).deflections, AxisSlot::slide), -0.75,
                1e-4);
    const auto headPose =
        keyposeStoreWithNumericDataMessage(kHead, 2, 7, axes({{AxisSlot::focus, 1234}}));
    EXPECT_EQ(at(read<cmd::KeyposeStore>(headPose, kHead).values, AxisSlot::focus), 1234);  // as is
    // A lens stores focus in encoder steps: 100 focus units are 161 steps.
    const auto lensPose =
        keyposeStoreWithNumericDataMessage(kLens, 1, 7, axes({{AxisSlot::focus, 100}}));
    EXPECT_EQ(at(read<cmd::KeyposeStore>(lensPose, kLens).values, AxisSlot::focus), 161);
    const auto realTime = read<cmd::RealTimeMove>(
        realTimeMoveMessage(0.25f, axes({{AxisSlot::focus, 100.0f}})), kHead);
    EXPECT_NEAR(at(realTime.targets, AxisSlot::focus), 161.46, 1e-3);
    EXPECT_EQ(read<cmd::FocusMove>(focusManualMoveMessage(kHead, -40), kHead).steps, -40);
    EXPECT_EQ(read<cmd::FocusMove>(focusManualMoveMessage(kLens, 3), kLens).steps, 3);
    // On the ground, not on the left side.
    EXPECT_EQ(read<cmd::Calibrate>(calibrateRailUnitMessage(kRail, true, false), kRail).mode, 3);
    // 12 x 10 + 74
    EXPECT_EQ(read<cmd::Calibrate>(calibrateCraneArmMessage(kCrane, 12, 5), kCrane).jibLength, 194);
    const auto turn = read<cmd::DynamicMove>(
        dynamicMoveMessage(kHead, 1, {90.0f, -10.0f, 0.5f, 2.0f, true}), kHead);
    EXPECT_DOUBLE_EQ(turn.pan, 90000.0);
    EXPECT_DOUBLE_EQ(turn.tilt, -10000.0);
    EXPECT_EQ(turn.durationMs, 2000);
}

TEST(DeviceMessages, RefusesWhatNoDeviceWouldTake) {
    const auto store = bytesOf(keyposeStoreCurrentPoseMessage(kHead, 1, 9));
    auto badSum = store;
    badSum.at(badSum.size() - 1) ^= 0x01;
    auto longer = store;
    longer.push_back(0);
    // A real-time move that announces two blocks and holds one, with a good sum.
    auto realTime = bytesOf(realTimeMoveMessage(1.0f, axes({{AxisSlot::headPan, 1.0f}})));
    realTime[2] = 2;
    const auto sum = std::accumulate(realTime.begin(), realTime.end() - 2, 0u);
    realTime[realTime.size() - 2] = static_cast<std::uint8_t>(sum >> 8);
    realTime.back() = static_cast<std::uint8_t>(sum);
    const std::tuple<core::Bytes, M, MessageCheck> rows[] = {
        {badSum, kHead, MessageCheck::badChecksum},
        {longer, kHead, MessageCheck::lengthMismatch},
        {{0x02, 0xE6}, kHead, MessageCheck::tooShort},
        {{0x01, 0xE6, 0x00, 0xE7}, kHead, MessageCheck::tooShort},  // length byte below 2
        {store, M::rollerBase, MessageCheck::unknownOpcode},        // a head's message
        {{0x02, 0x77, 0x00, 0x79}, kHead, MessageCheck::unknownOpcode},
        {realTime, kHead, MessageCheck::unknownOpcode},
        // A glide track is a slider too, but has no incline sensor to calibrate.
        {bytesOf(calibrateRailUnitMessage(kRail, false, true)), M::glideTrack,
         MessageCheck::unknownOpcode},
    };
    for (const auto& [message, primary, check] : rows) {
        const auto read = readDeviceMessage(message, primary);
        EXPECT_EQ(read.check, check) << int(read.opcode);
        EXPECT_FALSE(read.command.has_value());
    }
}

TEST(DeviceReports, EveryStatusFieldAndEachFamilysKeyPoseAnswerReadBackThroughTheServer) {
    StatusReport report{.positions = {-12500, 45000, 3250, -77, 0, 360000, -43800},
                        .aimIndex = 4,
                        .loopActive = true,
                        .slotsFilled = 0x15,
                        .activity = model::BundleActivity::keyposeMove,
                        .devices = {{M::turretAlpha2, 102, 32, 85}, {M::railUnitGen3, 19, 31, 7}},
                        .supportedAxes = 0x6F,
                        .realTimeAxes = 0x03,
                        .calibratedAxes = 0x05,
                        .acknowledge = 0xC0,
                        .timestamp = 0xFEDCBA98,
                        .plannedDurationMs = 2500,
                        .progress = 16000,
                        .park = model::ParkMode::positioning,
                        .incline = model::InclineMode::safe,
                        .inclineWarning = true};
    const auto bytes = encodeStatus(report);
    ASSERT_EQ(bytes.size(), 79u);
    EXPECT_EQ(bytes[65], 0xC0);  // the acknowledge byte the link handler watches
    const auto status = bundle::decodeStatus(bytes);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(status->devices[0].firmwareVersion, 102);  // the real-time firmware check reads it
    EXPECT_EQ(status->devices[1].secondVersion, 31);
    EXPECT_EQ(status->supportedAxes, 0x6F);
    EXPECT_EQ(status->realTimeSupportedAxes, 0x03);
    EXPECT_EQ(status->calibratedAxes, 0x05);
    auto json = bundle::statusToJson(*status, 0);
    for (const auto* lists : {"supportedAxes", "realTimeSupportedAxes", "calibratedAxes"}) {
        json.erase(lists);
    }
    EXPECT_EQ(json.dump(),
              R"({"deviceInfo":[{"batteryLevel":0.85,"type":"turretAlpha2"},)"
              R"({"batteryLevel":0.07,"type":"railUnitGen3"}],"deviceInfoEverythingReady":true,)"
              R"("inclineMode":"safe","inclineModeWarningFlag":1,"keyposeLoopActive":true,)"
              R"("keyposeMotionAimIndex":4,"keyposeMotionStartIndex":-1,)"
              R"("keyposeSlotsFilled":[true,false,true,false,true,false],"parkMode":"positioning",)"
              R"("plannedMotionDuration":2.5,"plannedMotionProgress":0.5,)"
              R"("readings":{"focus":-77,"headPan":-12.5,"headTilt":45.0,"jibPan":360.0,)"
              R"("jibTilt":-43.8,"slide":3.25},"state":"keyposeMove","timestampDevice":4275878552,)"
              R"("timestampEpoch":0})");

    // Only five device records fit the message.
    report.devices.assign(7, DeviceRecord{M::glideTrack, 65, 32, 50});
    const auto five = encodeStatus(report);
    EXPECT_EQ(five.size(), 79u);
    EXPECT_EQ(bundle::decodeStatus(five).value().deviceCount, 5);

    // Each family's key-pose answer.
    const Positions pose = {1500, -2500, 700, 321, 0, 4000, -5000};
    const std::tuple<M, std::uint8_t, const char*> rows[] = {
        {M::turretAlpha2, 0x6F,
         R"({"craneMaxPan":4.0,"craneMaxTilt":-5.0,"focus":321,"headPan":1.5,"headTilt":-2.5,)"
         R"("index":3,"slide":0.7})"},
        {M::glideTrack, 0x04, R"({"index":3,"slide":0.7})"},
        {M::rollerBase, 0x04, R"({"index":3,"slide":0.7})"},
        // The crane arm turns slide and tilt round; the server turns them back.
        {M::craneArm, 0x60, R"({"craneMaxPan":4.0,"craneMaxTilt":5.0,"index":3})"},
        {M::craneArm, 0x04, R"({"index":3,"slide":-0.7})"},
        {M::lensDriveMax, 0x08, R"({"focus":198.81085,"index":3})"},  // 321 / 1.6146
    };
    for (const auto& [primary, supported, expected] : rows) {
        SCOPED_TRACE(model::nameOf(primary));
        const auto family = model::familyOf(primary);
        const auto answer = keyposeAnswer(family, 3, pose);
        EXPECT_EQ(answer[0], keyposeAnswerId(family));
        const auto data = bundle::decodeKeyposeReadAnswer(primary, supported, answer);
        ASSERT_TRUE(data.has_value());
        EXPECT_EQ(data->dump(), expected);
    }
}

}  // namespace
}  // namespace kinetra::sim
