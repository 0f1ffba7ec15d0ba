#include <gtest/gtest.h>

#include "bundle/status_decoder.hpp"
#include "bundle/status_json.hpp"

namespace kinetra::bundle {
namespace {

// A status message as a device sends it; offsets below are those of the protocol notes.
class StatusMessage {
public:
    StatusMessage() { bytes_[0] = 0x18; }
    StatusMessage& i32(std::size_t offset, std::int32_t value) {
        for (int i = 0; i < 4; ++i) {
            bytes_[offset + i] =
                static_cast<std::uint8_t>(static_cast<std::uint32_t>(value) >> (24 - 8 * i));
        }
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
    StatusMessage& devices(std::initializer_list<std::uint8_t> models) {
        std::size_t i = 0;
        for (const auto model : models) {
            device(i++, model);
        }
        return byte(31, static_cast<std::uint8_t>(models.size()));
    }
    core::Bytes bytes() const { return bytes_; }
    DeviceStatusSnapshot decoded() const {
        auto snapshot = decodeStatus(bytes_);
        EXPECT_TRUE(snapshot.has_value());
        return snapshot.value_or(DeviceStatusSnapshot{});
    }
    json toJson() const { return statusToJson(decoded(), 1733480000123); }

private:
    core::Bytes bytes_ = core::Bytes(79, 0);
};

TEST(StatusDecoder, ReadsSignedFieldsAndScalesThem) {
    const auto s = StatusMessage()
                       .i32(1, -1500)
                       .i32(5, -7)
                       .i32(9, 12500)
                       .i32(13, -1)
                       .i32(17, 360000)
                       .i32(21, -43800)
                       .byte(25, 0xFE)
                       .byte(26, 0x05)
                       .i32(66, -2)
                       .i32(70, 2500)
                       .byte(74, 0xC1)
                       .byte(75, 0x80)
                       .decoded();
    EXPECT_EQ(s.slide, -1.5f);
    EXPECT_EQ(s.focus, -7);
    EXPECT_EQ(s.headPan, 12.5f);
    EXPECT_EQ(s.headTilt, -0.001f);
    EXPECT_EQ(s.jibPan, 360.0f);
    EXPECT_EQ(s.jibTilt, -43.8f);
    EXPECT_EQ(s.keyposeMotionAimIndex, -2);
    EXPECT_EQ(s.keyposeMotionStartIndex, 5);
    EXPECT_EQ(s.timestampDevice, 0xFFFFFFFEu);  // unsigned
    EXPECT_EQ(s.plannedMotionDuration, 2.5f);
    EXPECT_EQ(s.plannedMotionProgress, -0.5f);  // 0xC180 is -16000
}

TEST(StatusDecoder, RefusesShortMessagesAndIgnoresTrailingBytes) {
    auto bytes = StatusMessage().devices({1}).bytes();
    EXPECT_FALSE(decodeStatus(core::ByteView(bytes).first(78)).has_value());
    EXPECT_FALSE(decodeStatus({}).has_value());
    bytes.resize(255, 0xEE);
    const auto s = decodeStatus(bytes);
    ASSERT_TRUE(s.has_value());
    EXPECT_EQ(s->deviceCount, 1);
    EXPECT_EQ(s->keyposeSlotLayout, 0);
}

TEST(StatusDecoder, DeviceRecordsAndCountClampedToFive) {
    auto message = StatusMessage().byte(31, 9);
    for (std::size_t i = 0; i < 5; ++i) {
        message.device(i, static_cast<std::uint8_t>(i + 1), static_cast<std::uint16_t>(0xFF00 + i),
                       static_cast<std::uint8_t>(20 * i));
    }
    const auto s = message.decoded();
    EXPECT_EQ(s.deviceCount, 5);
    EXPECT_EQ(s.devices[4].model, model::DeviceModel::rollerBaseX);
    EXPECT_EQ(s.devices[4].firmwareVersion, 0xFF04);
    EXPECT_EQ(s.devices[4].batteryLevel, 0.8f);
    EXPECT_EQ(message.toJson()["deviceInfo"].size(), 5u);
}

TEST(StatusDecoder, PackedBytes) {
    const auto s = StatusMessage().byte(28, 0xE5).byte(77, 0x15).byte(78, 0xF6).decoded();
    EXPECT_EQ(s.keyposeSlotsFilled, (std::array<bool, 6>{true, false, true, false, false, true}));
    EXPECT_EQ(s.parkMode, 1);
    EXPECT_EQ(s.inclineMode, 2);
    EXPECT_EQ(s.inclineWarningFlag, 1);
    EXPECT_EQ(s.keyposeSlotLayout, 6);
    const auto parked = StatusMessage().byte(77, 0x2E).decoded();
    EXPECT_EQ(parked.parkMode, 2);
    EXPECT_EQ(parked.inclineMode, 7);
    EXPECT_EQ(parked.inclineWarningFlag, 0);
}

TEST(StatusDecoder, LensDrivePrimaryReportsFocusInUnits) {
    EXPECT_EQ(StatusMessage().devices({15}).i32(5, 16146).decoded().focus, 10000);
    EXPECT_EQ(StatusMessage().devices({15}).i32(5, -16146).decoded().focus, -10000);
    // Truncated toward zero: 100 steps are 61.93 units.
    EXPECT_EQ(StatusMessage().devices({15}).i32(5, 100).decoded().focus, 61);
    EXPECT_EQ(StatusMessage().devices({1, 15}).i32(5, 16146).decoded().focus, 16146);
}

TEST(StatusJson, EmptyBundle) {
    const auto status = StatusMessage().toJson();
    EXPECT_EQ(status["deviceInfo"].dump(), "[]");
    EXPECT_EQ(status["supportedAxes"].dump(), "[]");
    EXPECT_EQ(status["realTimeSupportedAxes"].dump(), "[]");
    EXPECT_EQ(status["calibratedAxes"].dump(), "[]");
    EXPECT_TRUE(status["readings"].is_null());
    EXPECT_FALSE(status.contains("parkMode"));
    EXPECT_FALSE(status.contains("inclineMode"));
    EXPECT_FALSE(status.contains("inclineModeWarningFlag"));
    EXPECT_EQ(status["keyposeSlotsFilled"], json::array({"?"}));
    EXPECT_EQ(status["state"], "idle");
    EXPECT_EQ(status["timestampEpoch"], 1733480000123);
    EXPECT_EQ(status.size(), 15u);
}

TEST(StatusJson, ReadingsOnlyForSupportedAxes) {
    const auto status =
        StatusMessage().devices({1}).byte(62, 0x03).i32(9, 12500).i32(13, -3000).toJson();
    EXPECT_EQ(status["readings"], (json{{"headPan", 12.5}, {"headTilt", -3.0}}));
    const auto all = StatusMessage().byte(62, 0x7F).i32(5, -42).toJson()["readings"];
    EXPECT_EQ(all.size(), 6u);
    EXPECT_TRUE(all["focus"].is_number_integer());
    EXPECT_EQ(all["focus"], -42);
    EXPECT_TRUE(all.contains("jibPan"));
    EXPECT_TRUE(all.contains("jibTilt"));
    EXPECT_FALSE(all.contains("zoom"));
    // Zoom alone has no reading.
    EXPECT_TRUE(StatusMessage().byte(62, 0x10).toJson()["readings"].is_null());
}

TEST(StatusJson, KeyposeSlotsFollowTheLayout) {
    EXPECT_EQ(StatusMessage().byte(28, 0x3D).byte(78, 0x03).toJson()["keyposeSlotsFilled"],
              json::array({true, false, true}));
    EXPECT_EQ(StatusMessage().byte(28, 0x3D).byte(78, 0x06).toJson()["keyposeSlotsFilled"],
              json::array({true, false, true, true, true, true}));
    EXPECT_EQ(StatusMessage().byte(78, 0x05).toJson()["keyposeSlotsFilled"], json::array({"?"}));
}

TEST(StatusJson, ParkAndInclineOnlyWithARailUnit) {
    auto status = StatusMessage().devices({1, 12}).byte(77, 0x15).toJson();
    EXPECT_EQ(status["parkMode"], "positioning");
    EXPECT_EQ(status["inclineMode"], "safe");
    EXPECT_EQ(status["inclineModeWarningFlag"], 1);
    EXPECT_TRUE(status["inclineModeWarningFlag"].is_number_unsigned());
    status = StatusMessage().devices({0}).byte(77, 0x25).toJson();
    EXPECT_EQ(status["parkMode"], "parked");
    // Codes outside the tables name the first row.
    status = StatusMessage().devices({0}).byte(77, 0x3E).byte(29, 9).toJson();
    EXPECT_EQ(status["parkMode"], "idle");
    EXPECT_EQ(status["inclineMode"], "invalid");
    EXPECT_EQ(status["state"], "idle");
    // A rail unit recorded beyond the device count does not count.
    auto hidden = StatusMessage().devices({6}).device(1, 12).byte(77, 0x15).toJson();
    EXPECT_FALSE(hidden.contains("parkMode"));
}

TEST(StatusJson, DeviceInfoMarksTheTiltedTurret) {
    auto info = StatusMessage().devices({3, 3}).device(0, 3, 0, 85).toJson()["deviceInfo"];
    EXPECT_EQ(info[0]["isTilted"], false);
    EXPECT_EQ(info[1]["isTilted"], true);
    EXPECT_EQ(info[0]["type"], "turretGamma");
    EXPECT_FLOAT_EQ(info[0]["batteryLevel"].get<float>(), 0.85f);
    // Only the last later turretGamma is the tilted one; others get no member.
    info = StatusMessage().devices({3, 3, 6, 3}).toJson()["deviceInfo"];
    EXPECT_EQ(info[0]["isTilted"], false);
    EXPECT_FALSE(info[1].contains("isTilted"));
    EXPECT_FALSE(info[2].contains("isTilted"));
    EXPECT_EQ(info[3]["isTilted"], true);
    // A single turretGamma, or one that is not first, is not marked.
    info = StatusMessage().devices({3}).toJson()["deviceInfo"];
    EXPECT_FALSE(info[0].contains("isTilted"));
    info = StatusMessage().devices({1, 3, 3}).toJson()["deviceInfo"];
    for (const auto& device : info) {
        EXPECT_FALSE(device.contains("isTilted"));
    }
}

TEST(StatusJson, AxisListsUseOnlyValidDevices) {
    const auto status = StatusMessage()
                            .devices({6})
                            .device(1, 1)  // beyond the count
                            .byte(62, 0x05)
                            .byte(63, 0x04)
                            .byte(64, 0x80)
                            .toJson();
    EXPECT_EQ(status["supportedAxes"], json::parse(R"([{"axis":"headPan","device":"???"},
                              {"axis":"slide","device":"glideTrackMax"}])"));
    EXPECT_EQ(status["realTimeSupportedAxes"],
              json::parse(R"([{"axis":"slide","device":"glideTrackMax"}])"));
    EXPECT_EQ(status["calibratedAxes"].dump(), "[]");
}

TEST(StatusJson, EndpointAnswersNullDataBeforeTheFirstStatus) {
    EXPECT_EQ(statusEndpointReply(json()).dump(), R"({"data":null,"result":"ok"})");
    const auto latest = StatusMessage().toJson();
    EXPECT_EQ(statusEndpointReply(latest)["data"], latest);
}

TEST(StatusJson, CompactTextIsAlphabetical) {
    const auto text = StatusMessage().devices({12}).i32(66, 7).toJson().dump();
    EXPECT_EQ(text.rfind(R"({"calibratedAxes":[],"deviceInfo":[{"batteryLevel":0.0,"type":)", 0),
              0u)
        << text;
    EXPECT_NE(text.find(R"("timestampDevice":7,"timestampEpoch":1733480000123})"),
              std::string::npos)
        << text;
}

}  // namespace
}  // namespace kinetra::bundle
