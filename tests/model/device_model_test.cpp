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

}  // namespace
}  // namespace kinetra::model
