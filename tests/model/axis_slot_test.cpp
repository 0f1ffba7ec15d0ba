// Axis descriptor lists and the axis values of requests.
#include "model/axis_slot.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "model/axis_values.hpp"

namespace kinetra::model {
namespace {

using M = DeviceModel;

// One object per set slot in slot order, naming the first device of the list that can drive
// it (list order decides, not the candidates' order), else "???"; never null.
TEST(AxisDescriptorList, NamesTheFirstListedDeviceThatCanDriveEachSetSlot) {
    const struct {
        std::uint8_t set;
        std::vector<M> devices;
        const char* list;
    } rows[] = {
        {0x04, {M::glideTrackMax}, R"([{"axis":"slide","device":"glideTrackMax"}])"},
        {0x08, {M::turretAlpha}, R"([{"axis":"focus","device":"???"}])"},
        {0x07,
         {M::rollerBase, M::turretGamma, M::railUnitGen3, M::turretAlpha},
         R"([{"axis":"headPan","device":"turretGamma"},{"axis":"headTilt","device":"turretGamma"},)"
         R"({"axis":"slide","device":"rollerBase"}])"},
        // The swivel pans but does not tilt.
        {0x03,
         {M::swivelMax},
         R"([{"axis":"headPan","device":"swivelMax"},{"axis":"headTilt","device":"???"}])"},
        {0x70,
         {M::craneArm2, M::craneArm, M::lensDriveMax},
         R"([{"axis":"zoom","device":"lensDriveMax"},{"axis":"jibPan","device":"craneArm"},)"
         R"({"axis":"jibTilt","device":"craneArm"}])"},
        {0x00, {M::turretAlpha}, "[]"},
        {0x80, {}, "[]"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(axisDescriptorList(row.set, row.devices).dump(), row.list) << int{row.set};
    }
}

// Request keys are matched exactly ("craneMaxPan", not "jibPan"); booleans and every kind of
// number are accepted, beyond the float range as infinities; other types for an axis key throw
// the library's type error, while other keys are ignored whatever their type.
TEST(AxisValues, ReadsTheAxisKeysOfARequest) {
    const auto values = parseAxisValues(json::parse(
        R"({"headPan":-2,"headTilt":1.5,"slide":1e300,"focus":true,"craneMaxPan":0.25,
            "craneMaxTilt":false,"jibPan":9,"zoom":3,"HeadPan":1,"index":"1","note":null})"));
    EXPECT_EQ(values.valueOr0(AxisSlot::headPan), -2.0f);
    EXPECT_EQ(values.valueOr0(AxisSlot::headTilt), 1.5f);
    EXPECT_EQ(values.valueOr0(AxisSlot::slide), std::numeric_limits<float>::infinity());
    EXPECT_EQ(values.valueOr0(AxisSlot::focus), 1.0f);
    EXPECT_EQ(values.valueOr0(AxisSlot::jibPan), 0.25f);
    EXPECT_EQ(values.givenSet(), 0x6F);
    EXPECT_EQ(parseAxisValues(json::parse(R"({"focus":-1e39})")).valueOr0(AxisSlot::focus),
              -std::numeric_limits<float>::infinity());
    EXPECT_EQ(parseAxisValues(json::parse(R"({"headPan":3e38})")).valueOr0(AxisSlot::headPan),
              3e38f);
    for (const char* text :
         {R"({"slide":"1"})", R"({"slide":null})", R"({"focus":[1]})", R"({"craneMaxTilt":{}})"}) {
        try {
            parseAxisValues(json::parse(text));
            ADD_FAILURE() << text;
        } catch (const json::type_error& error) {
            EXPECT_NE(std::string(error.what()).find("type must be number, but is "),
                      std::string::npos)
                << error.what();
        }
    }
}

}  // namespace
}  // namespace kinetra::model
