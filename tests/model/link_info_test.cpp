#include "model/link_info.hpp"

#include <gtest/gtest.h>

namespace kinetra::model {
namespace {

LinkInfo sampleLink() {
    LinkInfo link;
    link.linkType = LinkType::linkAdapter;
    link.linkID = "KX0042";
    link.initialFoundEpoch = "1733480000000000000";
    link.linkConnectionType = LinkConnectionType::canbus;
    link.portName = "/dev/ttyACM0";
    link.isPairingDone = true;
    link.isValid = true;
    link.portInfo = PortInfo{57600, 2, 7, true};
    link.isRadioFirmwareUpdateAvailable = true;
    link.isFirmwareCorrupted = true;
    return link;
}

TEST(LinkInfo, ScannerFormRoundTripsEverythingButTheChangelogs) {
    auto link = sampleLink();
    const auto form = toScannerJson(link);
    EXPECT_EQ(form.size(), 13u);
    EXPECT_EQ(form["portInfo"].size(), 4u);
    EXPECT_EQ(form["linkConnectionType"], "canbus");
    EXPECT_EQ(form["linkType"], "linkAdapter");
    EXPECT_EQ(linkInfoFromScannerJson(form), link);

    link.deviceFirmwareChangelog = "notes";
    EXPECT_FALSE(toScannerJson(link).contains("deviceFirmwareChangelog"));
}

TEST(LinkInfo, EnumerationsOutsideTheirTablesUseTheFirstRow) {
    auto link = sampleLink();
    link.linkType = LinkType{5};
    link.linkConnectionType = LinkConnectionType{-1};
    auto form = toScannerJson(link);
    EXPECT_EQ(form["linkType"], "stopMotionModule");
    EXPECT_EQ(form["linkConnectionType"], "wireless");

    form["linkConnectionType"] = "bluetooth";
    form["linkType"] = "hub";
    const auto read = linkInfoFromScannerJson(form);
    EXPECT_EQ(read.linkConnectionType, LinkConnectionType::wireless);
    EXPECT_EQ(read.linkType, LinkType::stopMotionModule);
}

TEST(LinkInfo, ScannerFormRequiresEveryMember) {
    const auto complete = toScannerJson(sampleLink());
    for (const auto& [key, value] : complete.items()) {
        auto form = complete;
        form.erase(key);
        EXPECT_THROW(linkInfoFromScannerJson(form), json::out_of_range) << key;
    }
    for (const auto& [key, value] : complete["portInfo"].items()) {
        auto form = complete;
        form["portInfo"].erase(key);
        EXPECT_THROW(linkInfoFromScannerJson(form), json::out_of_range) << key;
    }
    EXPECT_THROW(linkInfoFromScannerJson(json::array()), json::type_error);
}

TEST(LinkInfo, ScannerFormChecksTheJsonTypes) {
    const auto complete = toScannerJson(sampleLink());
    const auto expectTypeError = [&](const char* pointer, json value) {
        auto form = complete;
        form[json::json_pointer(pointer)] = std::move(value);
        EXPECT_THROW(linkInfoFromScannerJson(form), json::type_error) << pointer;
    };
    expectTypeError("/isValid", "true");
    expectTypeError("/isPairingDone", 1);
    expectTypeError("/isFirmwareCorrupted", nullptr);
    expectTypeError("/portInfo/flowControl", 0);
    expectTypeError("/linkType", 1);
    expectTypeError("/linkConnectionType", 0);
    expectTypeError("/linkID", 42);
    expectTypeError("/initialFoundEpoch", 1733480000000000000LL);
    expectTypeError("/portName", json::array());
    expectTypeError("/portInfo/baudrate", "115200");
    expectTypeError("/portInfo", "115200,8,1");
}

TEST(LinkInfo, PortNumbersOutsideTheIntegerRangeAreRefused) {
    auto form = toScannerJson(sampleLink());
    form["portInfo"]["baudrate"] = 1e300;
    EXPECT_THROW(linkInfoFromScannerJson(form), json::out_of_range);
    form["portInfo"]["baudrate"] = 4294967296ULL;
    EXPECT_THROW(linkInfoFromScannerJson(form), json::out_of_range);
    form["portInfo"]["baudrate"] = 9600.7;
    EXPECT_EQ(linkInfoFromScannerJson(form).portInfo.baudrate, 9600);
}

TEST(LinkInfo, ListFormAddsOnlyChangelogsThatAreSet) {
    auto link = sampleLink();
    auto list = toListJson(link);
    EXPECT_EQ(list.size(), 11u);
    EXPECT_FALSE(list.contains("portInfo"));
    EXPECT_FALSE(list.contains("isFirmwareCorrupted"));
    link.radioFirmwareChangelog = "radio notes";
    list = toListJson(link);
    EXPECT_EQ(list.size(), 12u);
    EXPECT_EQ(list["radioFirmwareChangelog"], "radio notes");
    link.deviceFirmwareChangelog = "device notes";
    EXPECT_EQ(toListJson(link).size(), 13u);
    // Compact, alphabetical.
    EXPECT_EQ(toListJson(link).dump().substr(0, 36), R"({"deviceFirmwareChangelog":"device n)");
}

}  // namespace
}  // namespace kinetra::model
