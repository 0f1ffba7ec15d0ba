// Scan JSON, and the MAC texts and counts of pairing requests.
#include "link/pairing_codec.hpp"

#include <gtest/gtest.h>

#include "link_test_support.hpp"

namespace kinetra::link {
namespace {

using model::DeviceModel;
using test::bytes;

// MAC text in upper case, the signed strength as a floating number, tilt as 0 or 1 for model 3
// only, the pairing flag only when set, each changelog only with its flag; a CAN bus entry with
// its model and update flag.
TEST(ScanJson, WritesEntriesAsClientsReadThem) {
    const model::FirmwareCatalog catalog;
    const auto changelog = [&](DeviceModel model, bool radio) {
        const auto& entry = catalog.entries().at(model::codeOf(model));
        return radio ? entry.radio.changelog : entry.device.changelog;
    };
    // Model, rssi, MAC, setup, tilt and controller version, radio version, 7 bytes, group id.
    const auto reply = bytes(
        "01 01 02"
        " 03 C4 0A 1B 2C 3D 4E 5F 23 B5 1A 77 77 77 77 77 77 77 12 34"
        " 01 05 FF 00 A0 0B C0 DB E0 CB 1F 77 77 77 77 77 77 77 FF FF");
    const auto data = wirelessScanJson(reply, catalog);
    ASSERT_EQ(data.size(), 2u);
    // Gamma head, controller 90 (91 is current), radio 26 (current), tilted, pairing active.
    auto gamma = json::parse(R"({"mac":"0A:1B:2C:3D:4E:5F","rssi":-60.0,"type":"turretGamma",
        "setup":"panTilt","groupId":4660,"isTilted":1,"linkPairigingActive":true,
        "isRadioFirmwareUpdateAvailable":false,"isDeviceFirmwareUpdateAvailable":true})");
    gamma["deviceChangelog"] = changelog(DeviceModel::turretGamma, false);
    EXPECT_EQ(data[0], gamma);
    // Alpha head booting, controller 101 (current), radio 31 (32 is current), tilt bit set.
    auto alpha = json::parse(R"({"mac":"FF:00:A0:0B:C0:DB","rssi":5.0,"type":"turretAlpha",
        "setup":"bootingUp","groupId":65535,"isRadioFirmwareUpdateAvailable":true,
        "isDeviceFirmwareUpdateAvailable":false})");
    alpha["radioChangelog"] = changelog(DeviceModel::turretAlpha, true);
    EXPECT_EQ(data[1], alpha);
    EXPECT_EQ(wirelessScanEntryJson({.model = 3}, catalog)["isTilted"], 0);

    // A CAN bus entry's version is (byte a, byte b): 0.73 is older than rollerBase's 0.74.
    const json expected = json::array({
        {{"type", "rollerBase"},
         {"isDeviceFirmwareUpdateAvailable", true},
         {"changelog", changelog(DeviceModel::rollerBase, false)}},
        {{"type", "rollerBase"}, {"isDeviceFirmwareUpdateAvailable", false}},
        {{"type", "floorBase"}, {"isDeviceFirmwareUpdateAvailable", false}},
    });
    EXPECT_EQ(canScanJson(bytes("00 02 03 08 00 49 08 00 4A 04 00 00"), catalog), expected);
}

// The attach MAC must match the whole pattern; a text that does not is not malformed.
TEST(AttachRequest, TellsAPatternMismatchFromAMalformedRequest) {
    const Mac mac{0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F};
    for (const char* good : {"0a:1B:2c:3D:4e:5F", "0A-1B-2C-3D-4E-5F", "0A:1B-2C:3D-4E:5F"}) {
        EXPECT_EQ(readAttachRequest(json{{"mac", good}}).value, mac) << good;
    }
    for (const char* bad : {"0A:1B:2C:3D:4E", "0A:1B:2C:3D:4E:5F:60", "0A:1B:2C:3D:4E:5F\n",
                            " 0A:1B:2C:3D:4E:5F", "0A:1B:2C:3D:4E:5G", "A:1B:2C:3D:4E:5F", ""}) {
        EXPECT_EQ(readAttachRequest(json{{"mac", bad}}).error,
                  RequestError::macPatternNotCompatible)
            << bad;
    }
    EXPECT_EQ(readAttachRequest(json::object()).error, RequestError::malformed);
    EXPECT_EQ(readAttachRequest(json{{"mac", 12}}).detail, "type must be string, but is number");
}

// A bundle MAC is split at ':' only; each part is read as hexadecimal and its low byte kept.
TEST(CreateBundleRequest, ReadsCountMasterAndAddressesAndRefusesBadCountsAndMalformedRequests) {
    const std::pair<const char*, std::optional<Mac>> macs[] = {
        {"0a:1b:2c:3d:4e:5f", Mac{0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F}},
        {"1AB:2:3:4:5:FFFFFFFFFFFF01", Mac{0xAB, 2, 3, 4, 5, 0x01}},
        {"1:2:3:4:5:6:zz", Mac{1, 2, 3, 4, 5, 6}},  // only the first six parts are read
        {"1::3:4:5:6", std::nullopt},
        {"1-2-3-4-5-6", std::nullopt},
        {"0x1:2:3:4:5:6", std::nullopt},
    };
    for (const auto& [text, mac] : macs) {
        EXPECT_EQ(parseBundleMac(text), mac) << text;
    }
    const auto parsed = readCreateBundleRequest(json::parse(
        R"({"deviceCount":2.9,"forcedMasterDevice":"turretBeta","macList":["1:2:3:4:5:6","a:b:c:d:e:f",17]})"));
    ASSERT_TRUE(parsed.value) << parsed.detail;
    EXPECT_EQ(parsed.value->deviceCount, 2);
    EXPECT_EQ(parsed.value->forcedMasterDevice, 2);
    EXPECT_EQ(parsed.value->macs[1], (Mac{10, 11, 12, 13, 14, 15}));
    const auto noSuchModel =
        readCreateBundleRequest(json{{"deviceCount", 0}, {"forcedMasterDevice", "noSuchModel"}});
    ASSERT_TRUE(noSuchModel.value) << noSuchModel.detail;
    EXPECT_EQ(noSuchModel.value->forcedMasterDevice, 0);

    // Counts outside 0 to 4 are refused before anything is sent; missing or mistyped keys are
    // malformed (answered "{}").
    auto request = json::parse(
        R"({"forcedMasterDevice":"none","macList":["1:2:3:4:5:6","1:2:3:4:5:6","1:2:3:4:5:6",
            "1:2:3:4:5:6","1:2:3:4:5:6"]})");
    for (const char* count :
         {"5", "-1", "1e300", "-1e300", "9223372036854775808", "4294967296", "4.999", "-0.5"}) {
        request["deviceCount"] = json::parse(count);
        const bool accepted = std::string_view(count).find('.') != std::string_view::npos;
        EXPECT_EQ(readCreateBundleRequest(request).error,
                  accepted ? RequestError::none : RequestError::deviceCountOutOfRange)
            << count;
    }
    for (const char* text : {
             R"([])",
             R"({"forcedMasterDevice":"none","macList":["1:2:3:4:5:6"]})",
             R"({"deviceCount":true,"forcedMasterDevice":"none"})",
             R"({"deviceCount":1,"macList":["1:2:3:4:5:6"]})",
             R"({"deviceCount":0,"forcedMasterDevice":3})",
             R"({"deviceCount":1,"forcedMasterDevice":"none"})",
             R"({"deviceCount":1,"forcedMasterDevice":"none","macList":"1:2:3:4:5:6"})",
             R"({"deviceCount":2,"forcedMasterDevice":"none","macList":["1:2:3:4:5:6"]})",
             R"({"deviceCount":1,"forcedMasterDevice":"none","macList":["1:2:3:4:5"]})",
             R"({"deviceCount":1,"forcedMasterDevice":"none","macList":[null]})",
         }) {
        EXPECT_EQ(readCreateBundleRequest(json::parse(text)).error, RequestError::malformed)
            << text;
    }
    request = json::parse(R"({"deviceCount":1,"forcedMasterDevice":"none","macList":[7]})");
    EXPECT_EQ(readCreateBundleRequest(request).detail, "type must be string, but is number");
}

}  // namespace
}  // namespace kinetra::link
