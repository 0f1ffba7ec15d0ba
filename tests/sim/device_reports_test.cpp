// What the emulated devices send up reads back through the server's own decoders: the status
// message, the key-pose answers of each family and the numeric-limits answer.
#include "sim/device_reports.hpp"

#include <gtest/gtest.h>

#include "bundle/keypose_answers.hpp"
#include "bundle/status_decoder.hpp"
#include "bundle/status_json.hpp"
#include "model/numeric_limits.hpp"

namespace kinetra::sim {
namespace {

using model::AxisSlot;
using M = model::DeviceModel;

Positions positions(std::int32_t pan, std::int32_t tilt, std::int32_t slide, std::int32_t focus,
                    std::int32_t jibPan, std::int32_t jibTilt) {
    return {pan, tilt, slide, focus, 0, jibPan, jibTilt};
}

TEST(StatusMessage, EveryFieldReadsBackThroughTheServersDecoder) {
    StatusReport report;
    report.positions = positions(-12500, 45000, 3250, -77, 360000, -43800);
    report.aimIndex = 4;
    report.startIndex = -1;
    report.loopActive = true;
    report.slotsFilled = 0x15;
    report.activity = model::BundleActivity::keyposeMove;
    report.devices = {{M::turretAlpha2, 102, 32, 85}, {M::railUnitGen3, 19, 31, 7}};
    report.supportedAxes = 0x07;
    report.realTimeAxes = 0x03;
    report.calibratedAxes = 0x05;
    report.acknowledge = 0xC0;
    report.timestamp = 0xFEDCBA98;
    report.plannedDurationMs = 2500;
    report.progress = 16000;
    report.park = model::ParkMode::positioning;
    report.incline = model::InclineMode::safe;
    report.inclineWarning = true;
    report.slotLayout = 6;

    const auto bytes = encodeStatus(report);
    ASSERT_EQ(bytes.size(), 79u);
    EXPECT_EQ(bytes[65], 0xC0);  // the byte the link handler watches
    const auto status = bundle::decodeStatus(bytes);
    ASSERT_TRUE(status.has_value());
    EXPECT_FLOAT_EQ(status->headPan, -12.5f);
    EXPECT_FLOAT_EQ(status->headTilt, 45.0f);
    EXPECT_FLOAT_EQ(status->slide, 3.25f);
    EXPECT_EQ(status->focus, -77);
    EXPECT_FLOAT_EQ(status->jibPan, 360.0f);
    EXPECT_FLOAT_EQ(status->jibTilt, -43.8f);
    EXPECT_EQ(status->keyposeMotionAimIndex, 4);
    EXPECT_EQ(status->keyposeMotionStartIndex, -1);
    EXPECT_TRUE(status->keyposeLoopActive);
    EXPECT_EQ(status->keyposeSlotsFilled,
              (std::array<bool, 6>{true, false, true, false, true, false}));
    EXPECT_EQ(status->activity, 1);
    EXPECT_TRUE(status->deviceInfoEverythingReady);
    ASSERT_EQ(status->deviceCount, 2);
    EXPECT_EQ(status->devices[0].model, M::turretAlpha2);
    EXPECT_EQ(status->devices[0].firmwareVersion, 102);
    EXPECT_EQ(status->devices[0].secondVersion, 32);
    EXPECT_FLOAT_EQ(status->devices[1].batteryLevel, 0.07f);
    EXPECT_EQ(status->supportedAxes, 0x07);
    EXPECT_EQ(status->realTimeSupportedAxes, 0x03);
    EXPECT_EQ(status->calibratedAxes, 0x05);
    EXPECT_EQ(status->timestampDevice, 0xFEDCBA98u);
    EXPECT_FLOAT_EQ(status->plannedMotionDuration, 2.5f);
    EXPECT_FLOAT_EQ(status->plannedMotionProgress, 0.5f);

    const auto json = bundle::statusToJson(*status, 1);
    EXPECT_EQ(json["state"], "keyposeMove");
    EXPECT_EQ(json["parkMode"], "positioning");
    EXPECT_EQ(json["inclineMode"], "safe");
    EXPECT_EQ(json["inclineModeWarningFlag"], 1);
    EXPECT_EQ(json["readings"]["headPan"], -12.5);
    EXPECT_EQ(json["keyposeSlotsFilled"].size(), 6u);
}

TEST(StatusMessage, CarriesAtMostFiveDevices) {
    StatusReport report;
    report.devices.assign(7, DeviceRecord{M::glideTrack, 65, 32, 50});
    const auto bytes = encodeStatus(report);
    EXPECT_EQ(bytes[31], 5);
    const auto status = bundle::decodeStatus(bytes);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(status->deviceCount, 5);
}

TEST(KeyposeAnswers, EachFamilysAnswerReadsBackThroughTheServer) {
    const auto pose = positions(1500, -2500, 700, 321, 4000, -5000);
    struct Row {
        M primary;
        std::uint8_t supported;
        json expected;
    };
    const Row rows[] = {
        {M::turretAlpha2,
         0x6F,
         {{"index", 3},
          {"headPan", 1.5},
          {"headTilt", -2.5},
          {"slide", 0.7},
          {"focus", 321},
          {"craneMaxPan", 4.0},
          {"craneMaxTilt", -5.0}}},
        {M::glideTrack, 0x04, {{"index", 3}, {"slide", 0.7}}},
        {M::rollerBase, 0x04, {{"index", 3}, {"slide", 0.7}}},
        // The crane arm turns slide and tilt round; the server turns them back.
        {M::craneArm, 0x60, {{"index", 3}, {"craneMaxPan", 4.0}, {"craneMaxTilt", 5.0}}},
        {M::craneArm, 0x04, {{"index", 3}, {"slide", -0.7}}},
        {M::lensDriveMax, 0x08, {{"index", 3}, {"focus", 321 / 1.6146f}}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(model::nameOf(row.primary));
        const auto family = model::familyOf(row.primary);
        const auto answer = keyposeAnswer(family, 3, pose);
        EXPECT_EQ(answer[0], keyposeAnswerId(family));
        const auto data = bundle::decodeKeyposeReadAnswer(row.primary, row.supported, answer);
        ASSERT_TRUE(data.has_value());
        ASSERT_EQ(data->size(), row.expected.size()) << data->dump();
        for (const auto& [key, value] : row.expected.items()) {
            EXPECT_NEAR((*data)[key].get<double>(), value.get<double>(), 1e-4) << key;
        }
    }
    EXPECT_TRUE(keyposeAnswer(model::DeviceFamily::none, 1, pose).empty());
}

TEST(LimitsAnswer, GivesTheServerTheLimitsOfTheSetup) {
    const std::array<M, 2> devices{M::turretAlpha2, M::glideTrack};
    const auto answer = limitsAnswer(model::SetupKind::panTiltAndSlide,
                                     model::limits_answer::kFlagDataReady, 150, devices);
    const auto limits = model::deriveNumericLimits(answer);
    ASSERT_TRUE(limits.has_value());
    EXPECT_TRUE(limits->dataReady);
    EXPECT_EQ(limits->setup, model::SetupKind::panTiltAndSlide);
    EXPECT_FLOAT_EQ((*limits)[AxisSlot::headPan].max, 36000.0f);
    EXPECT_FLOAT_EQ((*limits)[AxisSlot::headTilt].min, -89.1f);
    EXPECT_FLOAT_EQ((*limits)[AxisSlot::slide].max, 20.0f);
    EXPECT_FALSE((*limits)[AxisSlot::focus].present);

    const std::array<M, 1> crane{M::craneArm};
    const auto jib = model::deriveNumericLimits(
        limitsAnswer(model::SetupKind::jibOnly, model::limits_answer::kFlagDataReady, 150, crane));
    ASSERT_TRUE(jib.has_value());
    EXPECT_FLOAT_EQ((*jib)[AxisSlot::slide].max, model::craneArmSlideLimit(150));
}

}  // namespace
}  // namespace kinetra::sim
