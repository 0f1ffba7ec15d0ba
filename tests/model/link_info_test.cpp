// The link record's scanner form (written and read back, strictly) and its list form; the
// built-in firmware catalogue, its version checks, and catalogue texts it must refuse.
#include "model/link_info.hpp"
#include "model/device_model.hpp"
#include "model/firmware_catalog.hpp"

#include <gtest/gtest.h>

namespace kinetra::model {
namespace {

LinkInfo sampleLink() {
    LinkInfo link;
    link.linkID = "KX0042";
    link.initialFoundEpoch = "1733480000000000000";
    link.linkConnectionType = LinkConnectionType::canbus;
    link.portName = "/dev/ttyACM0";
    link.isPairingDone = true;
    link.portInfo = PortInfo{57600, 2, 7, true};
    link.isRadioFirmwareUpdateAvailable = true;
    link.isFirmwareCorrupted = true;
    return link;
}

// The scanner form round-trips everything but the changelogs. The list form has eleven
// members and each changelog that is set; compact and alphabetical.
TEST(LinkInfo, ScannerFormRoundTripsAndListFormAddsOnlyChangelogsThatAreSet) {
    auto link = sampleLink();
    const auto form = toScannerJson(link);
    EXPECT_EQ(form.size(), 13u);
    EXPECT_EQ(form["portInfo"].size(), 4u);
    EXPECT_EQ(form["linkConnectionType"], "canbus");
    EXPECT_EQ(form["linkType"], "linkAdapter");
    EXPECT_EQ(linkInfoFromScannerJson(form), link);
    EXPECT_EQ(toListJson(link).size(), 11u);
    EXPECT_FALSE(toListJson(link).contains("portInfo"));
    link.radioFirmwareChangelog = "radio notes";
    EXPECT_EQ(toListJson(link)["radioFirmwareChangelog"], "radio notes");
    link.deviceFirmwareChangelog = "device notes";
    EXPECT_EQ(toScannerJson(link), form);
    EXPECT_EQ(toListJson(link).size(), 13u);
    EXPECT_EQ(toListJson(link).dump().substr(0, 36), R"({"deviceFirmwareChangelog":"device n)");
}

// Values outside the tables are written as the first row; unknown names read as it.
TEST(LinkInfo, EnumerationsOutsideTheirTablesUseTheFirstRow) {
    auto link = sampleLink();
    link.linkType = LinkType{5};
    link.linkConnectionType = LinkConnectionType{-1};
    auto form = toScannerJson(link);
    EXPECT_EQ(form["linkType"], "stopMotionModule");
    EXPECT_EQ(form["linkConnectionType"], "wireless");
    form["linkType"] = "hub";
    form["linkConnectionType"] = "rj45";
    EXPECT_EQ(linkInfoFromScannerJson(form).linkConnectionType, LinkConnectionType::rj45);
    form["linkConnectionType"] = "bluetooth";
    EXPECT_EQ(linkInfoFromScannerJson(form).linkConnectionType, LinkConnectionType::wireless);
    EXPECT_EQ(linkInfoFromScannerJson(form).linkType, LinkType::stopMotionModule);
}

// Every member is required and strictly typed; port numbers must fit 32 bits (a floating one is
// truncated).
TEST(LinkInfo, ScannerFormRequiresEveryMemberWithItsType) {
    const auto complete = toScannerJson(sampleLink());
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
