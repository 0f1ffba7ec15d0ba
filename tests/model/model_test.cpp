// The model's codecs: axis descriptor lists, the axis values of requests, the numeric limits
// derived from the devices' answer; the link record's scanner form (written and read back,
// strictly) and its list form; the firmware catalogue, its version checks and refusals.
#include <gtest/gtest.h>

#include <bit>
#include <limits>
#include <vector>

#include "model/axis_slot.hpp"
#include "model/axis_values.hpp"
#include "model/device_model.hpp"
#include "model/firmware_catalog.hpp"
#include "model/link_info.hpp"
#include "model/numeric_limits.hpp"

namespace kinetra::model {
namespace {

using M = DeviceModel;

// One object per set slot in slot order, naming the first device of the list that can drive
// it (list order decides, not the candidates' order), else "???"; never null.
TEST(AxisDescriptorList, NamesTheFirstListedDeviceThatCanDriveEachSetSlot) {
    const struct {
        std::uint8_t set;
        std::vector<M> devices;
        const char* list;
    } rows[] = {
        {0x04, {M::glideTrackMax}, R"([{"axis":"slide","device":"glideTrackMax"}])"},
        {0x08, {M::turretAlpha}, R"([{"axis":"focus","device":"???"}])"},
        {0x07,
         {M::rollerBase, M::turretGamma, M::railUnitGen3, M::turretAlpha},
         R"([{"axis":"headPan","device":"turretGamma"},{"axis":"headTilt","device":"turretGamma"},)"
         R"({"axis":"slide","device":"rollerBase"}])"},
        // The swivel pans but does not tilt.
        {0x03,
         {M::swivelMax},
         R"([{"axis":"headPan","device":"swivelMax"},{"axis":"headTilt","device":"???"}])"},
        {0x70,
         {M::craneArm2, M::craneArm, M::lensDriveMax},
         R"([{"axis":"zoom","device":"lensDriveMax"},{"axis":"jibPan","device":"craneArm"},)"
         R"({"axis":"jibTilt","device":"craneArm"}])"},
        {0x00, {M::turretAlpha}, "[]"},
        {0x80, {}, "[]"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(axisDescriptorList(row.set, row.devices).dump(), row.list) << int{row.set};
    }
}

// Request keys are matched exactly ("craneMaxPan", not "jibPan"); every kind of number is
// accepted, beyond the float range as infinities; any other type for an axis key (a boolean
// too) throws the library's type error, while other keys are ignored whatever their type.
TEST(AxisValues, ReadsTheAxisKeysOfARequest) {
    const auto values = parseAxisValues(json::parse(
        R"({"headPan":-2,"headTilt":1.5,"slide":1e300,"focus":-0,"craneMaxPan":0.25,
            "craneMaxTilt":7,"jibPan":9,"zoom":3,"HeadPan":true,"index":"1","note":null})"));
    EXPECT_EQ(values.valueOr0(AxisSlot::headPan), -2.0f);
    EXPECT_EQ(values.valueOr0(AxisSlot::headTilt), 1.5f);
    EXPECT_EQ(values.valueOr0(AxisSlot::slide), std::numeric_limits<float>::infinity());
    EXPECT_EQ(values.valueOr0(AxisSlot::focus), 0.0f);
    EXPECT_EQ(values.valueOr0(AxisSlot::jibPan), 0.25f);
    EXPECT_EQ(values.givenSet(), 0x6F);
    EXPECT_EQ(parseAxisValues(json::parse(R"({"focus":-1e39})")).valueOr0(AxisSlot::focus),
              -std::numeric_limits<float>::infinity());
    EXPECT_EQ(parseAxisValues(json::parse(R"({"headPan":3e38})")).valueOr0(AxisSlot::headPan),
              3e38f);
    for (const char* text :
         {R"({"slide":"1"})", R"({"slide":null})", R"({"focus":[1]})", R"({"craneMaxTilt":{}})",
          R"({"headPan":true})", R"({"headTilt":false})"}) {
        EXPECT_THROW(parseAxisValues(json::parse(text)), json::type_error) << text;
    }
}

std::uint32_t bitsOf(float value) {
    return std::bit_cast<std::uint32_t>(value);
}

// An answer as the device sends it: id 26, setup, flags, arm length, device count, models.
core::Bytes answer(std::uint8_t setup, std::uint8_t flags, std::vector<std::uint8_t> models,
                   std::int16_t armLength = 0) {
    core::Bytes bytes{26, setup, flags};
    core::appendU16BE(bytes, static_cast<std::uint16_t>(armLength));
    bytes.push_back(static_cast<std::uint8_t>(models.size()));
    bytes.insert(bytes.end(), models.begin(), models.end());
    return bytes;
}

NumericLimits derive(const core::Bytes& bytes) {
    const auto limits = deriveNumericLimits(bytes);
    EXPECT_TRUE(limits.has_value());
    return limits.value_or(NumericLimits{});
}

// Each device sets its axes to the firmware's values, bit for bit; a later device of the list
// overwrites an earlier one. The crane arm's slide limit rounds each intermediate as the arm's
// firmware does (all in double or all in float misses by one unit in the last place).
TEST(NumericLimits, DevicesSetTheirAxesToTheFirmwaresBitPatterns) {
    const auto head = derive(answer(3, 0x01, {13, 1}));
    EXPECT_EQ(bitsOf(head[AxisSlot::headPan].step), 0x3A1FE868u);
    EXPECT_EQ(bitsOf(head[AxisSlot::headTilt].max), 0x42B23333u);
    EXPECT_EQ(bitsOf(head[AxisSlot::headTilt].min), 0xC2B23333u);
    EXPECT_EQ(bitsOf(derive(answer(1, 0x01, {1, 13}))[AxisSlot::headPan].step), 0x3CB43958u);
    EXPECT_EQ(bitsOf(derive(answer(4, 0x01, {7}))[AxisSlot::slide].step), 0x37BA3A23u);
    EXPECT_EQ(bitsOf(derive(answer(4, 0x0D, {12}))[AxisSlot::slide].step), 0x3A92CCF7u);
    EXPECT_EQ(bitsOf(derive(answer(4, 0x05, {201}))[AxisSlot::slide].step), 0x3B12CCF7u);
    EXPECT_EQ(bitsOf(derive(answer(5, 0x01, {8}))[AxisSlot::slide].step), 0x3A47C0F4u);
    const auto jib = derive(answer(20, 0x01, {10}));
    EXPECT_EQ(bitsOf(jib[AxisSlot::jibPan].step), 0x3CB43958u);
    EXPECT_EQ(bitsOf(jib[AxisSlot::jibTilt].max), 0x422F3333u);
    EXPECT_EQ(bitsOf(jib[AxisSlot::jibTilt].min), 0xC22F3333u);
    EXPECT_EQ(bitsOf(jib[AxisSlot::jibTilt].step), 0x3C23D70Au);
    EXPECT_EQ(bitsOf(craneArmSlideLimit(84)), 0x4141E529u);
}

// Not ready (an uncalibrated rail unit too) reports only that; a short answer is refused; setups
// without axes report null, and so does a present axis no device of the list can drive (a model 0
// rail unit).
TEST(NumericLimits, NotReadyOrSetupsWithoutAxesReportLittle) {
    EXPECT_EQ(toJson(derive(answer(3, 0x00, {1}))).dump(), R"({"isDataReady":false})");
    EXPECT_EQ(toJson(derive(answer(4, 0x01, {12}))).dump(), R"({"isDataReady":false})");
    for (const std::uint8_t setup : {0, 12, 31, 96, 112, 127}) {
        const auto limits = derive(answer(setup, 0x03, {1, 15}));
        EXPECT_TRUE(limits.dataReady);
        EXPECT_TRUE(toJson(limits).is_null()) << int{setup};
    }
    EXPECT_TRUE(toJson(derive(answer(4, 0x05, {0}))).is_null());
    const auto json = toJson(derive(answer(6, 0x05, {0, 2})));
    EXPECT_FALSE(json.contains("slideStep"));
    EXPECT_TRUE(json.contains("panStep"));
    // Truncated answers, one announcing two devices and carrying one, are refused.
    for (const core::Bytes& truncated :
         {core::Bytes{}, core::Bytes{26, 3, 1, 0, 0}, core::Bytes{26, 3, 1, 0, 0, 2, 1}}) {
        EXPECT_FALSE(deriveNumericLimits(truncated).has_value()) << truncated.size();
    }
}

// The scanner form round-trips everything but the changelogs. The list form has eleven
// members and each changelog that is set; compact and alphabetical. Enumerations outside their
// tables are written as the first row, and unknown names read as it. In the scanner form every
// member is required and strictly typed; port numbers must fit 32 bits (a floating one is
// truncated).
TEST(LinkInfo, ScannerAndListFormsAndTheScannerFormsStrictReading) {
    LinkInfo link;
    link.linkID = "KX0042";
    link.initialFoundEpoch = "1733480000000000000";
    link.linkConnectionType = LinkConnectionType::canbus;
    link.portName = "/dev/ttyACM0";
    link.isPairingDone = true;
    link.portInfo = PortInfo{57600, 2, 7, true};
    link.isRadioFirmwareUpdateAvailable = true;
    link.isFirmwareCorrupted = true;
    const auto complete = toScannerJson(link);
    EXPECT_EQ(complete.size(), 13u);
    EXPECT_EQ(complete["portInfo"].size(), 4u);
    EXPECT_EQ(complete["linkConnectionType"], "canbus");
    EXPECT_EQ(complete["linkType"], "linkAdapter");
    EXPECT_EQ(linkInfoFromScannerJson(complete), link);
    EXPECT_EQ(toListJson(link).size(), 11u);
    EXPECT_FALSE(toListJson(link).contains("portInfo"));
    link.radioFirmwareChangelog = "radio notes";
    EXPECT_EQ(toListJson(link)["radioFirmwareChangelog"], "radio notes");
    link.deviceFirmwareChangelog = "device notes";
    EXPECT_EQ(toScannerJson(link), complete);
    EXPECT_EQ(toListJson(link).size(), 13u);
    EXPECT_EQ(toListJson(link).dump().substr(0, 36), R"({"deviceFirmwareChangelog":"device n)");

    link.linkType = LinkType{5};
    link.linkConnectionType = LinkConnectionType{-1};
    auto outside = toScannerJson(link);
    EXPECT_EQ(outside["linkType"], "stopMotionModule");
    EXPECT_EQ(outside["linkConnectionType"], "wireless");
    outside["linkType"] = "hub";
    outside["linkConnectionType"] = "rj45";
    EXPECT_EQ(linkInfoFromScannerJson(outside).linkConnectionType, LinkConnectionType::rj45);
    outside["linkConnectionType"] = "bluetooth";
    EXPECT_EQ(linkInfoFromScannerJson(outside).linkConnectionType, LinkConnectionType::wireless);
    EXPECT_EQ(linkInfoFromScannerJson(outside).linkType, LinkType::stopMotionModule);

    const auto flat = complete.flatten();  // "/portInfo/baudrate" and the like
    for (const auto& [pointer, value] : flat.items()) {
        auto form = flat;
        form.erase(pointer);
        EXPECT_THROW(linkInfoFromScannerJson(form.unflatten()), json::out_of_range) << pointer;
    }
    const std::pair<const char*, json> mistyped[] = {
        {"/isValid", "true"},
        {"/linkType", 1},
        {"/linkID", 42},
        {"/portInfo", "115200,8,1"},
        {"/portInfo/baudrate", "115200"},
        {"/portInfo/flowControl", 0},
        {"/portInfo/stopBits", true},
        {"/portInfo/bitCount", nullptr},
    };
    for (const auto& [pointer, value] : mistyped) {
        auto form = complete;
        form[json::json_pointer(pointer)] = value;
        EXPECT_THROW(linkInfoFromScannerJson(form), json::type_error) << pointer;
    }
    EXPECT_THROW(linkInfoFromScannerJson(json::array()), json::type_error);
    auto form = complete;
    for (const json& baudrate : {json(1e300), json(4294967296ULL), json(-4294967296LL)}) {
        form["portInfo"]["baudrate"] = baudrate;
        EXPECT_THROW(linkInfoFromScannerJson(form), json::out_of_range) << baudrate;
    }
    form["portInfo"]["baudrate"] = 9600.7;
    EXPECT_EQ(linkInfoFromScannerJson(form).portInfo.baudrate, 9600);
}

// Major and minor are compared each on its own (signed): a device reporting 1.0 against 0.61
// is still offered the update. A model without an entry needs none; fifteen models have one (a
// misspelt name would collide under code 0).
TEST(FirmwareCatalog, ComparesEachComponentOnItsOwn) {
    const FirmwareCatalog catalog;
    EXPECT_EQ(catalog.entries().size(), 15u);
    const auto gammaRadio = catalog.entries().at(3).radio.changelog;
    EXPECT_FALSE(gammaRadio.empty());
    EXPECT_EQ(catalog.radioUpdateNeeded(DeviceModel::turretGamma, 0, 25),
              (FirmwareCheck{true, gammaRadio}));
    EXPECT_EQ(catalog.radioUpdateNeeded(DeviceModel::turretGamma, 0, 26), FirmwareCheck{});
    EXPECT_FALSE(catalog.deviceUpdateNeeded(DeviceModel::turretAlpha, 0, 101).updateNeeded);
    EXPECT_TRUE(catalog.deviceUpdateNeeded(DeviceModel::turretAlpha, 0, 100).updateNeeded);
    EXPECT_TRUE(catalog.deviceUpdateNeeded(DeviceModel::railUnit, 1, 0).updateNeeded);
    EXPECT_TRUE(catalog.deviceUpdateNeeded(DeviceModel::railUnit, -1, 200).updateNeeded);
    EXPECT_EQ(catalog.deviceUpdateNeeded(DeviceModel::floorBase, 0, 0), FirmwareCheck{});
    EXPECT_EQ(catalog.radioUpdateNeeded(DeviceModel{77}, 0, 0), FirmwareCheck{});
}

// Members are read in name order; an unknown name files under code 0 unless a member before it
// took the code. A changelog that is not text or a minor that is not a number fails construction.
TEST(FirmwareCatalog, ReadsCatalogueTextsInNameOrderAndRefusesMalformedEntries) {
    const auto entry = [](json changelog, json minor) {
        const json version = {
            {"changelog", changelog}, {"versionMajor", 0}, {"versionMinor", minor}};
        return json{{"versionEsp", version}, {"versionStm", version}};
    };
    const FirmwareCatalog catalog(json{{"aaa", entry("first", 1)}, {"railUnit", entry("x", 2)}});
    ASSERT_EQ(catalog.entries().size(), 1u);
    EXPECT_EQ(catalog.entries().at(0).device.changelog, "first");
    EXPECT_THROW(FirmwareCatalog(json{{"railUnit", entry(5, 1)}}), json::type_error);
    EXPECT_THROW(FirmwareCatalog(json{{"railUnit", entry("x", "1")}}), json::type_error);
}

}  // namespace
}  // namespace kinetra::model
