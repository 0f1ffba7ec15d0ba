#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "config/defaults.hpp"
#include "discovery/link_scanner.hpp"

namespace kinetra::discovery {
namespace {

json defaultSection() {
    return config::serialDefault().at("serialConnection");
}

TEST(ReadScannerConfig, ReadsTheBuiltInSerialSection) {
    const auto config = readScannerConfig(defaultSection());
    EXPECT_TRUE(config.usb.autoScan);
    EXPECT_EQ(config.usb.scanInterval, 250U);
    EXPECT_EQ(config.usb.linkAdapterVid, 0x0483);
    EXPECT_EQ(config.usb.linkAdapterPid, 0xA39F);
    EXPECT_EQ(config.usb.smmVid, 0x0483);
    EXPECT_EQ(config.usb.smmPid, 0xA327);
    EXPECT_EQ(config.usb.manufacturerName, "Kinetra");
    const model::PortInfo expected{115200, 1, 8, false};
    EXPECT_EQ(config.stopMotion, expected);
    EXPECT_EQ(config.linkAdapter, expected);
}

TEST(ReadScannerConfig, TruncatesFloatsAndTakesBooleansForTheIds) {
    auto section = defaultSection();
    section["usb_info"]["scanInterval"] = 12.9;
    section["usb_info"]["link_adapter_vid"] = true;
    section["usb_info"]["smm_pid"] = 41767.99;
    const auto config = readScannerConfig(section);
    EXPECT_EQ(config.usb.scanInterval, 12U);
    EXPECT_EQ(config.usb.linkAdapterVid, 1);
    EXPECT_EQ(config.usb.smmPid, 41767);
}

TEST(ReadScannerConfig, RefusesMissingKeysAndWrongTypes) {
    using Edit = std::function<void(json&)>;
    const std::vector<std::pair<const char*, Edit>> missing = {
        {"usb_info", [](json& s) { s.erase("usb_info"); }},
        {"smm_pid", [](json& s) { s["usb_info"].erase("smm_pid"); }},
        {"link_adapter", [](json& s) { s["moduleSerialPortInfo"].erase("link_adapter"); }},
        {"flowControl",
         [](json& s) { s["moduleSerialPortInfo"]["stop_motion"].erase("flowControl"); }},
    };
    for (const auto& [name, edit] : missing) {
        auto section = defaultSection();
        edit(section);
        EXPECT_THROW(readScannerConfig(section), json::out_of_range) << name;
    }
    const std::vector<std::pair<const char*, Edit>> mistyped = {
        {"autoScan as number", [](json& s) { s["usb_info"]["autoScan"] = 1; }},
        {"scanInterval as boolean", [](json& s) { s["usb_info"]["scanInterval"] = true; }},
        {"vid as text", [](json& s) { s["usb_info"]["smm_vid"] = "1155"; }},
        {"flowControl as number",
         [](json& s) { s["moduleSerialPortInfo"]["link_adapter"]["flowControl"] = 0; }},
    };
    for (const auto& [name, edit] : mistyped) {
        auto section = defaultSection();
        edit(section);
        EXPECT_THROW(readScannerConfig(section), json::type_error) << name;
    }
    // A negative interval would wrap into a pause of half a million years.
    auto negative = defaultSection();
    negative["usb_info"]["scanInterval"] = -1;
    EXPECT_THROW(readScannerConfig(negative), json::out_of_range);
    auto tooLarge = defaultSection();
    tooLarge["usb_info"]["link_adapter_pid"] = 4294967296LL;
    EXPECT_THROW(readScannerConfig(tooLarge), json::out_of_range);
}

serial::PortListing usbPort(std::string name, int vid, int pid, std::string serial,
                            std::string description = "Kinetra Link") {
    return {std::move(name), vid, pid, std::move(serial), std::move(description)};
}

constexpr int kVid = 0x0483;
constexpr int kAdapterPid = 0xA39F;
constexpr int kModulePid = 0xA327;

TEST(RecogniseLink, ReportsAnAdapterAsTheDeviceServiceExpects) {
    const auto config = readScannerConfig(defaultSection());
    const auto link = recogniseLink(usbPort("COM5", kVid, kAdapterPid, "205F33A84E53"), config,
                                    "1764885600123456700");
    ASSERT_TRUE(link.has_value());
    auto event = model::toScannerJson(*link);
    event["command"] = "device_found";
    EXPECT_EQ(core::dumpCompact(event),
              R"({"command":"device_found","initialFoundEpoch":"1764885600123456700",)"
              R"("isDeviceFirmwareUpdateAvailable":false,"isDeviceFirmwareUpdateRequired":false,)"
              R"("isFirmwareCorrupted":false,"isPairingDone":false,)"
              R"("isRadioFirmwareUpdateAvailable":false,"isRadioFirmwareUpdateRequired":false,)"
              R"("isValid":true,"linkConnectionType":"none","linkID":"205F33A84E53",)"
              R"("linkType":"linkAdapter","portInfo":{"baudrate":115200,"bitCount":8,)"
              R"("flowControl":false,"stopBits":1},"portName":"COM5"})");
}

TEST(RecogniseLink, TakesOnlyOurIdsWithLongEnoughSerialNumbers) {
    auto config = readScannerConfig(defaultSection());
    config.stopMotion.baudrate = 57600;  // tells the two settings apart
    struct Case {
        serial::PortListing port;
        std::optional<model::LinkType> expected;
    };
    const std::vector<Case> cases = {
        {usbPort("a", kVid, kAdapterPid, "0123456789"), std::nullopt},
        {usbPort("a", kVid, kAdapterPid, "0123456789A"), model::LinkType::linkAdapter},
        {usbPort("m", kVid, kModulePid, "0123456789AB"), std::nullopt},
        {usbPort("m", kVid, kModulePid, "0123456789ABC"), model::LinkType::stopMotionModule},
        {usbPort("x", kVid, 0x5740, "0123456789ABC"), std::nullopt},
        {usbPort("x", 0x1234, kAdapterPid, "0123456789ABC"), std::nullopt},
        {usbPort("d", kVid, kAdapterPid, "0123456789ABC", "TurretAlpha Usb Dongle"), std::nullopt},
        {usbPort("d", kVid, kModulePid, "0123456789ABC", "Acme TurretAlpha Usb Dongle v2"),
         std::nullopt},
        {serial::PortListing{"/dev/ttyS0", std::nullopt, std::nullopt, "", "ttyS0"}, std::nullopt},
    };
    for (const auto& [port, expected] : cases) {
        const auto link = recogniseLink(port, config, "100");
        ASSERT_EQ(link.has_value(), expected.has_value())
            << port.name << " " << port.usbSerialNumber;
        if (link) {
            EXPECT_EQ(link->linkType, *expected);
            EXPECT_EQ(link->linkID, port.usbSerialNumber);
            EXPECT_EQ(link->portName, port.name);
            EXPECT_EQ(link->portInfo, *expected == model::LinkType::linkAdapter
                                          ? config.linkAdapter
                                          : config.stopMotion);
        }
    }
}

}  // namespace
}  // namespace kinetra::discovery
