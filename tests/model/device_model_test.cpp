// Device model names and the families commands dispatch on.
#include "model/device_model.hpp"

#include <gtest/gtest.h>

namespace kinetra::model {
namespace {

TEST(DeviceModel, NamesCodesOutsideTheContiguousRange) {
    EXPECT_EQ(nameOf(DeviceModel{201}), "railUnitGen1");
    EXPECT_EQ(nameOf(DeviceModel{255}), "none");
    EXPECT_EQ(nameOf(DeviceModel{254}), "railUnit");
    EXPECT_EQ(deviceModelFromName("lensDriveMax"), DeviceModel::lensDriveMax);
    EXPECT_EQ(deviceModelFromName("LensDriveMax"), DeviceModel::railUnit);
}

// The families are also given as bit masks over the codes; the switch must agree with them.
TEST(DeviceModel, FamiliesMatchTheirBitMasks) {
    for (std::int32_t code = 0; code < 256; ++code) {
        const auto family = familyOf(DeviceModel{code});
        const bool head = code < 18 && ((0x3200Eu >> code) & 1u);
        const bool slider = code < 13 && ((0x10C1u >> code) & 1u);
        const bool dolly = code == 5 || code == 8 || code == 9;
        EXPECT_EQ(family == DeviceFamily::head, head) << code;
        EXPECT_EQ(family == DeviceFamily::slider, slider) << code;
        EXPECT_EQ(family == DeviceFamily::dolly, dolly) << code;
        EXPECT_EQ(family == DeviceFamily::craneArm, code == 10) << code;
        EXPECT_EQ(family == DeviceFamily::lens, code == 15) << code;
    }
}

}  // namespace
}  // namespace kinetra::model
