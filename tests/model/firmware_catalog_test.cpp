#include "model/firmware_catalog.hpp"

#include <gtest/gtest.h>

namespace kinetra::model {
namespace {

TEST(FirmwareCatalog, BuiltInCatalogueListsFifteenModels) {
    const FirmwareCatalog catalog;
    EXPECT_EQ(catalog.entries().size(), 15u);
    for (const auto missing : {DeviceModel::floorBase, DeviceModel::songbird,
                               DeviceModel::craneArm2, DeviceModel::railUnitGen1}) {
        EXPECT_EQ(catalog.entries().count(codeOf(missing)), 0u) << nameOf(missing);
    }
    const auto& crane = catalog.entries().at(codeOf(DeviceModel::craneArm));
    EXPECT_EQ(crane.radio.versionMinor, 34);
    EXPECT_EQ(crane.device.versionMinor, 68);
    EXPECT_FALSE(crane.device.changelog.empty());
}

TEST(FirmwareCatalog, ComparesEachComponentOnItsOwn) {
    const FirmwareCatalog catalog;
    const auto gammaRadio = catalog.entries().at(3).radio.changelog;
    EXPECT_EQ(catalog.radioUpdateNeeded(DeviceModel::turretGamma, 0, 25),
              (FirmwareCheck{true, gammaRadio}));
    EXPECT_EQ(catalog.radioUpdateNeeded(DeviceModel::turretGamma, 0, 26), FirmwareCheck{});
    EXPECT_FALSE(catalog.deviceUpdateNeeded(DeviceModel::turretAlpha, 0, 101).updateNeeded);
    EXPECT_TRUE(catalog.deviceUpdateNeeded(DeviceModel::turretAlpha, 0, 100).updateNeeded);
    // A newer major does not hide an older minor.
    EXPECT_TRUE(catalog.deviceUpdateNeeded(DeviceModel::railUnit, 1, 0).updateNeeded);
    // Signed comparison: a negative major is older.
    EXPECT_TRUE(catalog.deviceUpdateNeeded(DeviceModel::railUnit, -1, 200).updateNeeded);
}

TEST(FirmwareCatalog, ModelWithoutEntryNeedsNoUpdate) {
    const FirmwareCatalog catalog;
    EXPECT_EQ(catalog.deviceUpdateNeeded(DeviceModel::floorBase, 0, 0), FirmwareCheck{});
    EXPECT_EQ(catalog.radioUpdateNeeded(DeviceModel{77}, 0, 0), FirmwareCheck{});
}

TEST(FirmwareCatalog, UnknownNamesShareCodeZeroAndTheFirstOneWins) {
    const auto version = [](int minor) {
        return json{{"changelog", "c" + std::to_string(minor)},
                    {"versionMajor", 0},
                    {"versionMinor", minor}};
    };
    // Members are read in name order: "aaa" (unknown, code 0) comes before "railUnit".
    const json text = {{"aaa", {{"versionEsp", version(1)}, {"versionStm", version(2)}}},
                       {"railUnit", {{"versionEsp", version(3)}, {"versionStm", version(4)}}}};
    const FirmwareCatalog catalog(text);
    ASSERT_EQ(catalog.entries().size(), 1u);
    EXPECT_EQ(catalog.entries().at(0).device.versionMinor, 2);
}

TEST(FirmwareCatalog, MalformedEntriesFailConstruction) {
    const json badChangelog = {
        {"railUnit",
         {{"versionEsp", {{"changelog", 5}, {"versionMajor", 0}, {"versionMinor", 1}}},
          {"versionStm", {{"changelog", "x"}, {"versionMajor", 0}, {"versionMinor", 1}}}}}};
    EXPECT_THROW(FirmwareCatalog{badChangelog}, json::type_error);
    const json badMinor = {
        {"railUnit",
         {{"versionEsp", {{"changelog", "x"}, {"versionMajor", 0}, {"versionMinor", "1"}}},
          {"versionStm", {{"changelog", "x"}, {"versionMajor", 0}, {"versionMinor", 1}}}}}};
    EXPECT_THROW(FirmwareCatalog{badMinor}, json::type_error);
}

}  // namespace
}  // namespace kinetra::model
