// Version flags, scan and pair status JSON, and the MAC texts of pairing requests.
#include "link/pairing_codec.hpp"

#include <vector>

#include <gtest/gtest.h>

namespace kinetra::link {
namespace {

using core::Bytes;
using model::SetupKind;

struct EntryBytes {
    std::uint8_t model = 0;
    std::uint8_t rssi = 0;
    Mac mac{};
    std::uint8_t setup = 0;
    std::uint8_t controller = 0;
    std::uint8_t radio = 0;
    std::uint16_t groupId = 0;
};

Bytes scanReply(std::uint8_t announced, const std::vector<EntryBytes>& entries) {
    Bytes reply{0x01, 0x01, announced};
    for (const auto& e : entries) {
        Bytes raw(20, 0x77);  // the bytes that are not reported
        raw[0] = e.model;
        raw[1] = e.rssi;
        std::copy(e.mac.begin(), e.mac.end(), raw.begin() + 2);
        raw[8] = e.setup;
        raw[9] = e.controller;
        raw[10] = e.radio;
        raw[18] = static_cast<std::uint8_t>(e.groupId >> 8);
        raw[19] = static_cast<std::uint8_t>(e.groupId & 0xFF);
        reply.insert(reply.end(), raw.begin(), raw.end());
    }
    return reply;
}

const model::FirmwareCatalog& catalog() {
    static const model::FirmwareCatalog instance;
    return instance;
}

std::string changelog(model::DeviceModel model, bool radio) {
    const auto& entry = catalog().entries().at(model::codeOf(model));
    return radio ? entry.radio.changelog : entry.device.changelog;
}

TEST(LinkVersions, SetFlagsAtTheirThresholds) {
    struct Row {
        std::uint8_t controller, radio;
        bool deviceRequired, radioRequired, deviceAvailable, radioAvailable;
    };
    const std::vector<Row> rows = {
        {3, 1, false, false, true, false},      {1, 1, true, false, true, false},
        {2, 1, false, false, true, false},      {4, 1, false, false, false, false},
        {4, 0, false, true, false, true},       {0, 0, true, true, true, true},
        {255, 255, false, false, false, false},
    };
    for (const auto& row : rows) {
        const auto flags = linkFirmwareFlags({row.controller, row.radio});
        const auto label = std::to_string(row.controller) + "/" + std::to_string(row.radio);
        EXPECT_EQ(flags.isDeviceFirmwareUpdateRequired, row.deviceRequired) << label;
        EXPECT_EQ(flags.isRadioFirmwareUpdateRequired, row.radioRequired) << label;
        EXPECT_EQ(flags.isDeviceFirmwareUpdateAvailable, row.deviceAvailable) << label;
        EXPECT_EQ(flags.isRadioFirmwareUpdateAvailable, row.radioAvailable) << label;
        EXPECT_EQ(flags.firmwareUpdateRequired(), row.deviceRequired || row.radioRequired);
        EXPECT_EQ(flags.deviceFirmwareChangelog, row.deviceAvailable ? "macOS compatibility." : "")
            << label;
        EXPECT_EQ(flags.radioFirmwareChangelog, row.radioAvailable ? "Initial release." : "")
            << label;
    }
}

TEST(LinkVersions, ReadsControllerAtByteThreeAndRadioAtByteFive) {
    const auto versions = decodeLinkVersions(Bytes{0x00, 0x03, 0x09, 0x03, 0x08, 0x01});
    EXPECT_EQ(versions.controller, 3);
    EXPECT_EQ(versions.radio, 1);
    // A short reply reads as zeros past its end, as a padded reply does.
    const auto cut = decodeLinkVersions(Bytes{0x00, 0x03, 0x09, 0x05});
    EXPECT_EQ(cut.controller, 5);
    EXPECT_EQ(cut.radio, 0);
}

TEST(ScanSetup, KeepsTheThreeSpecialValuesWhole) {
    struct Row {
        std::uint8_t byte;
        SetupKind setup;
        bool pairing;
    };
    const std::vector<Row> rows = {
        {0xE0, SetupKind::bootingUp, false},
        {0x60, SetupKind::bootingUp, false},
        {0x70, SetupKind::firmwareError, false},
        {0xF0, SetupKind::firmwareError, false},
        {0x7F, SetupKind::ignore, false},
        {0xFF, SetupKind::ignore, false},
        {0x23, SetupKind::panTilt, true},
        {0x03, SetupKind::panTilt, false},
        {0xA3, SetupKind::panTilt, true},
        {0x9F, SetupKind::possibleCanbusMaster, false},
        {0x3F, SetupKind::possibleCanbusMaster, true},
        {0x40, SetupKind::none, false},
        {0x55, SetupKind::followFocusOnly, false},
    };
    for (const auto& row : rows) {
        const auto reading = readSetup(row.byte);
        EXPECT_EQ(reading.setup, row.setup) << int{row.byte};
        EXPECT_EQ(reading.linkPairingActive, row.pairing) << int{row.byte};
    }
}

TEST(WirelessScan, WritesEntriesAsClientsReadThem) {
    const auto gamma = model::DeviceModel::turretGamma;
    const auto alpha = model::DeviceModel::turretAlpha;
    const auto reply = scanReply(
        3, {
               // Tilted gamma head, controller 90 (< 91), radio 26 (current), pairing active.
               {3, 0xC4, {0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F}, 0x23, (90 << 1) | 1, 26, 0x1234},
               // Alpha head booting: the tilt bit is not reported for it.
               {1, 0x05, {0xFF, 0x00, 0xA0, 0x0B, 0xC0, 0xDB}, 0xE0, (101 << 1) | 1, 31, 0xFFFF},
               // A model the catalogue does not know, with a setup outside the table.
               {4, 0x80, {}, 0x16, 0, 0, 0},
           });
    const auto data = wirelessScanJson(reply, catalog());
    const json expected = json::array({
        {{"mac", "0A:1B:2C:3D:4E:5F"},
         {"rssi", -60.0},
         {"type", "turretGamma"},
         {"setup", "panTilt"},
         {"groupId", 0x1234},
         {"isTilted", 1},
         {"linkPairigingActive", true},
         {"isRadioFirmwareUpdateAvailable", false},
         {"isDeviceFirmwareUpdateAvailable", true},
         {"deviceChangelog", changelog(gamma, false)}},
        {{"mac", "FF:00:A0:0B:C0:DB"},
         {"rssi", 5.0},
         {"type", "turretAlpha"},
         {"setup", "bootingUp"},
         {"groupId", 65535},
         {"isRadioFirmwareUpdateAvailable", true},
         {"radioChangelog", changelog(alpha, true)},
         {"isDeviceFirmwareUpdateAvailable", false}},
        {{"mac", "00:00:00:00:00:00"},
         {"rssi", -128.0},
         {"type", "floorBase"},
         {"setup", "none"},
         {"groupId", 0},
         {"isRadioFirmwareUpdateAvailable", false},
         {"isDeviceFirmwareUpdateAvailable", false}},
    });
    EXPECT_EQ(data, expected);
    // Numbers keep their kinds in the text: rssi floating, isTilted an integer.
    const auto text = core::dumpCompact(data[0]);
    EXPECT_NE(text.find(R"("rssi":-60.0)"), std::string::npos) << text;
    EXPECT_NE(text.find(R"("isTilted":1,)"), std::string::npos) << text;
}

TEST(WirelessScan, ReportsTiltOnlyForModelThree) {
    for (std::uint8_t model = 0; model < 20; ++model) {
        const auto entries = decodeWirelessScan(scanReply(1, {{model, 0, {}, 0, 0x01, 0, 0}}));
        ASSERT_EQ(entries.size(), 1u);
        const auto out = wirelessScanEntryJson(entries[0], catalog());
        EXPECT_EQ(out.contains("isTilted"), model == 3) << int{model};
    }
    const auto level = decodeWirelessScan(scanReply(1, {{3, 0, {}, 0, 0x00, 0, 0}}));
    EXPECT_EQ(wirelessScanEntryJson(level[0], catalog())["isTilted"], 0);
}

TEST(WirelessScan, DecodesAtMostSeventeenAndNothingPastTheEnd) {
    std::vector<EntryBytes> twenty(20);
    for (std::size_t i = 0; i < twenty.size(); ++i) {
        twenty[i].model = static_cast<std::uint8_t>(i);
    }
    const auto full = decodeWirelessScan(scanReply(20, twenty));
    ASSERT_EQ(full.size(), 17u);
    EXPECT_EQ(full[16].model, 16);

    // Announces five but carries two and a half.
    auto cut = scanReply(5, {twenty[0], twenty[1], twenty[2]});
    cut.resize(cut.size() - 10);
    EXPECT_EQ(decodeWirelessScan(cut).size(), 2u);

    EXPECT_EQ(decodeWirelessScan(scanReply(0, twenty)).size(), 0u);
    EXPECT_TRUE(decodeWirelessScan(Bytes{}).empty());
    EXPECT_TRUE(decodeWirelessScan(Bytes{0x01, 0x01}).empty());
    EXPECT_EQ(wirelessScanJson(Bytes{0x01, 0x01, 0x00}, catalog()), json::array());
}

TEST(CanScan, AsksTheCatalogueWithBothVersionBytes) {
    const auto rollerBase = model::DeviceModel::rollerBase;
    const Bytes reply{0x00, 0x02, 0x03, 8, 0, 73, 8, 0, 74, 4, 0, 0};
    const json expected = json::array({
        {{"type", "rollerBase"},
         {"isDeviceFirmwareUpdateAvailable", true},
         {"changelog", changelog(rollerBase, false)}},
        {{"type", "rollerBase"}, {"isDeviceFirmwareUpdateAvailable", false}},
        {{"type", "floorBase"}, {"isDeviceFirmwareUpdateAvailable", false}},
    });
    EXPECT_EQ(canScanJson(reply, catalog()), expected);

    Bytes many{0x00, 0x02, 0xFF};
    many.resize(3 + 20 * 3, 0x08);
    EXPECT_EQ(decodeCanScan(many).size(), 17u);
    EXPECT_EQ(decodeCanScan(Bytes{0x00, 0x02, 0x02, 8, 0, 73, 8, 0}).size(), 1u);
}

TEST(PairStatus, NamesStateAndErrorFromTheirBytes) {
    EXPECT_EQ(
        wirelessPairStatusJson(Bytes{0x01, 0x00, 0x02, 0x63, 0x07}),
        (json{{"lastPairError", "alreadyGroupMember"}, {"wirelessPairState", "connectionOk"}}));
    EXPECT_EQ(wirelessPairStatusJson(Bytes{0x01, 0x00, 0x09, 0x00, 0x09}),
              (json{{"lastPairError", "none"}, {"wirelessPairState", "idle"}}));
    EXPECT_EQ(canbusPairStatusJson(Bytes{0x00, 0x00, 0x01, 0x04}),
              (json{{"canbusPairState", "pingReceived"}, {"lastPairError", "cantAppendDevice"}}));
    EXPECT_EQ(canbusPairStatusJson(Bytes{0x00, 0x00, 0x03}),
              (json{{"canbusPairState", "connectionOk"}, {"lastPairError", "none"}}));
}

TEST(MacText, WritesTwoUpperCaseDigitsPerByte) {
    EXPECT_EQ(macText({0x0A, 0x00, 0xFF, 0xC0, 0x1B, 0x05}), "0A:00:FF:C0:1B:05");
}

TEST(AttachMac, AcceptsOnlyTheWholePattern) {
    const Mac mac{0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F};
    for (const char* good : {"0a:1B:2c:3D:4e:5F", "0A-1B-2C-3D-4E-5F", "0A:1B-2C:3D-4E:5F"}) {
        EXPECT_EQ(parseAttachMac(good), mac) << good;
    }
    for (const char* bad :
         {"0A:1B:2C:3D:4E", "0A:1B:2C:3D:4E:5F:60", "0A:1B:2C:3D:4E:5F\n", " 0A:1B:2C:3D:4E:5F",
          "0A:1B:2C:3D:4E:5G", "0A.1B.2C.3D.4E.5F", "A:1B:2C:3D:4E:5F", "0A1B2C3D4E5F", ""}) {
        EXPECT_FALSE(parseAttachMac(bad)) << bad;
    }
}

TEST(BundleMac, KeepsTheLowByteOfEachPart) {
    struct Row {
        const char* text;
        std::optional<Mac> mac;
    };
    const std::vector<Row> rows = {
        {"0a:1b:2c:3d:4e:5f", Mac{0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F}},
        {"1:2:3:4:5:6", Mac{1, 2, 3, 4, 5, 6}},
        {"1AB:2:3:4:5:FFFFFFFFFFFF01", Mac{0xAB, 2, 3, 4, 5, 0x01}},
        {"1:2:3:4:5:6:zz", Mac{1, 2, 3, 4, 5, 6}},  // only the first six parts are read
        {"1:2:3:4:5", std::nullopt},
        {"1:2:3:4:5:", std::nullopt},
        {"1::3:4:5:6", std::nullopt},
        {"1-2-3-4-5-6", std::nullopt},
        {"0x1:2:3:4:5:6", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(parseBundleMac(row.text), row.mac) << row.text;
    }
}

TEST(CreateBundleRequest, ReadsCountMasterAndAddresses) {
    const auto parsed =
        readCreateBundleRequest(json{{"deviceCount", 2.9},
                                     {"forcedMasterDevice", "turretBeta"},
                                     {"macList", {"0a:1b:2c:3d:4e:5f", "1:2:3:4:5:6", 17}}});
    ASSERT_TRUE(parsed.value) << parsed.detail;
    EXPECT_EQ(parsed.value->deviceCount, 2);
    EXPECT_EQ(parsed.value->forcedMasterDevice, 2);
    EXPECT_EQ(parsed.value->macs[1], (Mac{1, 2, 3, 4, 5, 6}));

    FrameEncoder encoder;
    ASSERT_TRUE(frames::createBundle(encoder, *parsed.value));
    FrameDecoder decoder;
    Bytes payload;
    decoder.feed(encoder.encoded(), [&](core::ByteView p) { payload.assign(p.begin(), p.end()); });
    EXPECT_EQ(payload,
              (Bytes{0x11, 0x09, 2, 2, 0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F, 1, 2, 3, 4, 5, 6}));

    const auto none =
        readCreateBundleRequest(json{{"deviceCount", 0}, {"forcedMasterDevice", "noSuchModel"}});
    ASSERT_TRUE(none.value) << none.detail;
    EXPECT_EQ(none.value->forcedMasterDevice, 0);
}

TEST(CreateBundleRequest, RefusesCountsOutsideZeroToFour) {
    for (const json& count : {json(5), json(-1), json(4.999), json(-0.5), json(1e300), json(-1e300),
                              json(std::uint64_t{1} << 63), json(4294967296LL)}) {
        const auto parsed = readCreateBundleRequest(
            json{{"deviceCount", count},
                 {"forcedMasterDevice", "none"},
                 {"macList", json::array({"1:2:3:4:5:6", "1:2:3:4:5:6", "1:2:3:4:5:6",
                                          "1:2:3:4:5:6", "1:2:3:4:5:6"})}});
        const bool accepted = count == json(4.999) || count == json(-0.5);
        EXPECT_EQ(parsed.value.has_value(), accepted) << count.dump();
        if (!accepted) {
            EXPECT_EQ(parsed.error, RequestError::deviceCountOutOfRange) << count.dump();
        }
    }
}

TEST(CreateBundleRequest, CallsMissingOrMistypedKeysMalformed) {
    const auto mac = "1:2:3:4:5:6";
    struct Row {
        const char* what;
        json request;
        std::string detail;  // empty: any
    };
    const std::vector<Row> rows = {
        {"not an object", json::array(), ""},
        {"no count", {{"forcedMasterDevice", "none"}, {"macList", {mac}}}, ""},
        {"boolean count", {{"deviceCount", true}, {"forcedMasterDevice", "none"}}, ""},
        {"no master", {{"deviceCount", 1}, {"macList", {mac}}}, ""},
        {"numeric master", {{"deviceCount", 0}, {"forcedMasterDevice", 3}}, ""},
        {"no list", {{"deviceCount", 1}, {"forcedMasterDevice", "none"}}, ""},
        {"short list",
         {{"deviceCount", 2}, {"forcedMasterDevice", "none"}, {"macList", {mac}}},
         ""},
        {"number in list",
         {{"deviceCount", 1}, {"forcedMasterDevice", "none"}, {"macList", {7}}},
         "type must be string, but is number"},
        {"null in list",
         {{"deviceCount", 1}, {"forcedMasterDevice", "none"}, {"macList", {nullptr}}},
         "type must be string, but is null"},
        {"five parts",
         {{"deviceCount", 1}, {"forcedMasterDevice", "none"}, {"macList", {"1:2:3:4:5"}}},
         ""},
    };
    for (const auto& row : rows) {
        const auto parsed = readCreateBundleRequest(row.request);
        EXPECT_FALSE(parsed.value) << row.what;
        EXPECT_EQ(parsed.error, RequestError::malformed) << row.what;
        EXPECT_FALSE(parsed.detail.empty()) << row.what;
        if (!row.detail.empty()) {
            EXPECT_EQ(parsed.detail, row.detail) << row.what;
        }
    }
}

TEST(AttachRequest, TellsAPatternMismatchFromAMalformedRequest) {
    const auto good = readAttachRequest(json{{"mac", "0A-1B-2C-3D-4E-5F"}});
    ASSERT_TRUE(good.value);
    EXPECT_EQ(*good.value, (Mac{0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F}));
    EXPECT_EQ(readAttachRequest(json{{"mac", "0A:1B"}}).error,
              RequestError::macPatternNotCompatible);
    EXPECT_EQ(readAttachRequest(json::object()).error, RequestError::malformed);
    const auto number = readAttachRequest(json{{"mac", 12}});
    EXPECT_EQ(number.error, RequestError::malformed);
    EXPECT_EQ(number.detail, "type must be string, but is number");
}

}  // namespace
}  // namespace kinetra::link
