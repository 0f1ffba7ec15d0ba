// What the emulated devices send up reads back through the server's own decoders: the status
// message, the key-pose answers of each family and the numeric-limits answer.
#include "sim/device_reports.hpp"

#include <gtest/gtest.h>

#include "bundle/keypose_answers.hpp"
#include "bundle/status_decoder.hpp"
#include "bundle/status_json.hpp"

namespace kinetra::sim {
namespace {

using M = model::DeviceModel;

TEST(StatusMessage, EveryFieldReadsBackThroughTheServersDecoder) {
    StatusReport report;
    report.positions = {-12500, 45000, 3250, -77, 0, 360000, -43800};
    report.aimIndex = 4;
    report.loopActive = true;
    report.slotsFilled = 0x15;
    report.activity = model::BundleActivity::keyposeMove;
    report.devices = {{M::turretAlpha2, 102, 32, 85}, {M::railUnitGen3, 19, 31, 7}};
    report.supportedAxes = 0x6F;
    report.realTimeAxes = 0x03;
    report.calibratedAxes = 0x05;
    report.acknowledge = 0xC0;
    report.timestamp = 0xFEDCBA98;
    report.plannedDurationMs = 2500;
    report.progress = 16000;
    report.park = model::ParkMode::positioning;
    report.incline = model::InclineMode::safe;
    report.inclineWarning = true;

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
}

TEST(KeyposeAnswers, EachFamilysAnswerReadsBackThroughTheServer) {
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
