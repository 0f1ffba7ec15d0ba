// Status message decoding into the snapshot, and the status JSON built from it.
#include <gtest/gtest.h>

#include <tuple>

#include "bundle/status_decoder.hpp"
#include "bundle/status_json.hpp"

namespace kinetra::bundle {
namespace {

// A status message as a device sends it; offsets are those of the protocol notes.
class StatusMessage {
public:
    StatusMessage() { bytes_[0] = 0x18; }
    StatusMessage& i32(std::size_t offset, std::int32_t value) {
        core::Bytes field;
        core::appendI32BE(field, value);
        std::copy(field.begin(), field.end(), bytes_.begin() + static_cast<std::ptrdiff_t>(offset));
        return *this;
    }
    StatusMessage& byte(std::size_t offset, std::uint8_t value) {
        bytes_[offset] = value;
        return *this;
    }
    /// Device record i: model, firmware version, second version, battery in hundredths.
    StatusMessage& device(std::size_t i, std::uint8_t model, std::uint16_t firmware = 0,
                          std::uint8_t battery = 0) {
        const std::size_t at = 32 + 6 * i;
        bytes_[at] = model;
        bytes_[at + 1] = static_cast<std::uint8_t>(firmware >> 8);
        bytes_[at + 2] = static_cast<std::uint8_t>(firmware);
        bytes_[at + 5] = battery;
        return *this;
    }
    /// The first records hold `models`, and the count says so.
    StatusMessage& devices(std::initializer_list<std::uint8_t> models) {
        std::size_t i = 0;
        for (const auto model : models) {
            device(i++, model);
        }
        return byte(31, static_cast<std::uint8_t>(models.size()));
    }
    const core::Bytes& bytes() const { return bytes_; }
    DeviceStatusSnapshot decoded() const {
        auto snapshot = decodeStatus(bytes_);
        EXPECT_TRUE(snapshot.has_value());
        return snapshot.value_or(DeviceStatusSnapshot{});
    }
    json toJson() const { return statusToJson(decoded(), 1733480000123); }

private:
    core::Bytes bytes_ = core::Bytes(79, 0);
};

// Shorter than 79 bytes: dropped. Bytes beyond are ignored, and a count above five is clamped.
// A lens drive as primary reports encoder steps, given as focus units truncated toward zero.
TEST(StatusDecoder, RefusesShortMessagesAndClampsTheDeviceCount) {
    auto message = StatusMessage().byte(31, 9);
    for (std::uint8_t i = 0; i < 5; ++i) {
        message.device(i, i + 1, static_cast<std::uint16_t>(0xFF00 + i), 20 * i);
    }
    EXPECT_FALSE(decodeStatus(core::ByteView(message.bytes()).first(78)).has_value());
    auto longer = message.bytes();
    longer.resize(255, 0xEE);
    const auto s = decodeStatus(longer);
    ASSERT_TRUE(s.has_value());
    EXPECT_EQ(s->deviceCount, 5);
    EXPECT_EQ(s->keyposeSlotLayout, 0);
    EXPECT_EQ(s->devices[4].model, model::DeviceModel::rollerBaseX);
    EXPECT_EQ(s->devices[4].firmwareVersion, 0xFF04);
    EXPECT_EQ(s->devices[4].batteryLevel, 0.8f);
    EXPECT_EQ(message.toJson()["deviceInfo"].size(), 5u);
    EXPECT_EQ(StatusMessage().devices({15}).i32(5, -100).decoded().focus, -61);
}

// Every member, compact and in key order, for a bundle without devices: signed fields, scaled
// (0xC180 is -16000), the device's timestamp unsigned.
TEST(StatusJson, EveryMemberOfABundleWithoutDevices) {
    auto message = StatusMessage().byte(25, 0xFE).byte(26, 5).byte(27, 1).byte(29, 2).byte(30, 1);
    message.i32(1, -1500).i32(5, -7).i32(9, 12500).i32(13, -1).i32(17, 360000).i32(21, -43800);
    message.byte(62, 0x01).i32(66, -2).i32(70, 2500).byte(74, 0xC1).byte(75, 0x80);
    const auto s = message.decoded();
    EXPECT_EQ(std::tuple(s.slide, s.focus, s.headTilt, s.jibPan, s.jibTilt),
              std::tuple(-1.5f, -7, -0.001f, 360.0f, -43.8f));
    EXPECT_EQ(message.toJson().dump(),
              R"({"calibratedAxes":[],"deviceInfo":[],"deviceInfoEverythingReady":true,)"
              R"("keyposeLoopActive":true,"keyposeMotionAimIndex":-2,"keyposeMotionStartIndex":5,)"
              R"("keyposeSlotsFilled":["?"],"plannedMotionDuration":2.5,)"
              R"("plannedMotionProgress":-0.5,"readings":{"headPan":12.5},)"
              R"("realTimeSupportedAxes":[],"state":"realTimeMove",)"
              R"("supportedAxes":[{"axis":"headPan","device":"???"}],)"
              R"("timestampDevice":4294967294,"timestampEpoch":1733480000123})");
    EXPECT_EQ(statusEndpointReply(json()).dump(), R"({"data":null,"result":"ok"})");
}

// Park and incline come only with a listed rail unit (0 or 12); codes outside the tables name
// the first row.
TEST(StatusJson, ParkAndInclineOnlyWithARailUnit) {
    const auto park = [](std::initializer_list<std::uint8_t> models, std::uint8_t byte77) {
        const auto status = StatusMessage().devices(models).byte(77, byte77).byte(29, 9).toJson();
        return status.contains("parkMode") ? status["parkMode"].get<std::string>() + " " +
                                                 status["inclineMode"].get<std::string>() + " " +
                                                 status["inclineModeWarningFlag"].dump()
                                           : "none";
    };
    EXPECT_EQ(park({1, 12}, 0x15), "positioning safe 1");
    EXPECT_EQ(park({0}, 0x25), "parked safe 1");
    EXPECT_EQ(park({0}, 0x3E), "idle invalid 0");
    EXPECT_EQ(park({6}, 0x15), "none");
    EXPECT_EQ(StatusMessage().byte(29, 9).toJson()["state"], "idle");
    // A rail unit recorded beyond the device count does not count.
    EXPECT_FALSE(StatusMessage().devices({6}).device(1, 12).toJson().contains("parkMode"));
}

// With two or more turretGamma heads, the first is not tilted and the last later one is; nobody
// else gets the member. Battery levels are the decimals the device means. The axis lists name
// only devices within the count.
TEST(StatusJson, DeviceInfoMarksTheTiltedTurret) {
    const auto tilt = [](std::initializer_list<std::uint8_t> models) {
        std::string marks;
        const auto status = StatusMessage().devices(models).toJson();
        for (const auto& device : status["deviceInfo"]) {
            marks += device.contains("isTilted") ? device["isTilted"].dump() + " " : "- ";
        }
        return marks;
    };
    EXPECT_EQ(tilt({3, 3}), "false true ");
    EXPECT_EQ(tilt({3, 3, 6, 3}), "false - - true ");
    EXPECT_EQ(tilt({3}), "- ");
    EXPECT_EQ(tilt({1, 3, 3}), "- - - ");
    EXPECT_EQ(StatusMessage().devices({3}).device(0, 3, 0, 85).toJson()["deviceInfo"].dump(),
              R"([{"batteryLevel":0.85,"type":"turretGamma"}])");
    auto lists = StatusMessage().devices({1}).device(1, 6);  // a slider beyond the count
    const auto status = lists.byte(62, 0x05).byte(63, 0x04).byte(64, 0x80).toJson();
    EXPECT_EQ(status["supportedAxes"].dump() + status["realTimeSupportedAxes"].dump() +
                  status["calibratedAxes"].dump(),
              R"([{"axis":"headPan","device":"turretAlpha"},{"axis":"slide","device":"???"}])"
              R"([{"axis":"slide","device":"???"}][])");
}

}  // namespace
}  // namespace kinetra::bundle
