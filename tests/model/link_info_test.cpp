// The link record's scanner form (written and read back, strictly) and its list form.
#include "model/link_info.hpp"

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

}  // namespace
}  // namespace kinetra::model
