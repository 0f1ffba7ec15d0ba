// Device model names, the built-in firmware catalogue, its version checks, and catalogue texts
// it must refuse.
#include "model/firmware_catalog.hpp"

#include <gtest/gtest.h>

#include "model/device_model.hpp"

namespace kinetra::model {
namespace {

TEST(DeviceModel, NamesCodesOutsideTheContiguousRange) {
    EXPECT_EQ(nameOf(DeviceModel{201}), "railUnitGen1");
    EXPECT_EQ(nameOf(DeviceModel{255}), "none");
    EXPECT_EQ(nameOf(DeviceModel{254}), "railUnit");
    EXPECT_EQ(deviceModelFromName("lensDriveMax"), DeviceModel::lensDriveMax);
    EXPECT_EQ(deviceModelFromName("LensDriveMax"), DeviceModel::railUnit);
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
