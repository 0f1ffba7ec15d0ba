#include <gtest/gtest.h>

#include <vector>

#include "config/defaults.hpp"
#include "discovery/link_scanner.hpp"

namespace kinetra::discovery {
namespace {

json defaultSection() {
    return config::serialDefault().at("serialConnection");
}

// Floats are truncated and booleans taken as numbers; a missing key or a wrong type fails, and
// so does a number out of range (a negative interval would wrap into half a million years).
TEST(ReadScannerConfig, TakesNumbersLooselyAndRefusesMissingKeysAndWrongTypes) {
    auto section = defaultSection();
    section["usb_info"]["scanInterval"] = 12.9;
    section["usb_info"]["link_adapter_vid"] = true;
    section["usb_info"]["smm_pid"] = 41767.99;
    const auto config = readScannerConfig(section);
    EXPECT_EQ(config.usb.scanInterval, 12U);
    EXPECT_EQ(config.usb.linkAdapterVid, 1);
    EXPECT_EQ(config.usb.smmPid, 41767);

    enum Failure { outOfRange, typeError };
    const struct {
        const char* pointer;
        json value;  // null: the key is removed
        Failure failure;
    } edits[] = {
        {"/usb_info", nullptr, outOfRange},
        {"/usb_info/smm_pid", nullptr, outOfRange},
        {"/moduleSerialPortInfo/link_adapter", nullptr, outOfRange},
        {"/moduleSerialPortInfo/stop_motion/flowControl", nullptr, outOfRange},
        {"/usb_info/autoScan", 1, typeError},
        {"/usb_info/scanInterval", true, typeError},
        {"/usb_info/smm_vid", "1155", typeError},
        {"/moduleSerialPortInfo/link_adapter/flowControl", 0, typeError},
        {"/usb_info/scanInterval", -1, outOfRange},
        {"/usb_info/link_adapter_pid", 4294967296LL, outOfRange},
    };
    for (const auto& edit : edits) {
        auto edited = defaultSection();
        const json::json_pointer at(edit.pointer);
        if (edit.value.is_null()) {
            edited[at.parent_pointer()].erase(at.back());
        } else {
            edited[at] = edit.value;
        }
        if (edit.failure == outOfRange) {
            EXPECT_THROW(readScannerConfig(edited), json::out_of_range) << edit.pointer;
        } else {
            EXPECT_THROW(readScannerConfig(edited), json::type_error) << edit.pointer;
        }
    }
}

serial::PortListing usbPort(std::string name, int vid, int pid, std::string serial,
                            std::string description = "Kinetra Link") {
    return {std::move(name), vid, pid, std::move(serial), std::move(description)};
}

constexpr int kVid = 0x0483;
constexpr int kAdapterPid = 0xA39F;
constexpr int kModulePid = 0xA327;

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
