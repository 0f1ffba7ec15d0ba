#include "model/axis_slot.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "model/axis_values.hpp"
#include "model/status_enums.hpp"

namespace kinetra::model {
namespace {

using M = DeviceModel;

json descriptor(const char* device, const char* axis) {
    return json{{"axis", axis}, {"device", device}};
}

TEST(AxisSlot, RequestAndReadingsKeysDifferOnlyForTheJib) {
    EXPECT_EQ(requestKeyOf(AxisSlot::jibPan), "craneMaxPan");
    EXPECT_EQ(requestKeyOf(AxisSlot::jibTilt), "craneMaxTilt");
    EXPECT_EQ(readingsKeyOf(AxisSlot::jibTilt), "jibTilt");
    EXPECT_EQ(axisNameOf(AxisSlot::jibPan), "jibPan");
    EXPECT_FALSE(requestKeyOf(AxisSlot::zoom).has_value());
    EXPECT_FALSE(readingsKeyOf(AxisSlot::zoom).has_value());
    EXPECT_EQ(axisNameOf(AxisSlot::zoom), "zoom");
}

TEST(AxisDescriptorList, NamesTheFirstListedDeviceThatCanDriveEachSetSlot) {
    const std::vector<M> glide{M::glideTrackMax};
    EXPECT_EQ(axisDescriptorList(0x04, glide), json::array({descriptor("glideTrackMax", "slide")}));

    // Device list order decides, not the order of the candidates.
    const std::vector<M> rig{M::rollerBase, M::turretGamma, M::railUnitGen3, M::turretAlpha};
    EXPECT_EQ(axisDescriptorList(0x07, rig), json::array({descriptor("turretGamma", "headPan"),
                                                          descriptor("turretGamma", "headTilt"),
                                                          descriptor("rollerBase", "slide")}));
}

TEST(AxisDescriptorList, MarksAxesNoDeviceCanDrive) {
    const std::vector<M> head{M::swivelMax};
    // The swivel pans but does not tilt; nothing in the list drives focus, zoom or the jib.
    EXPECT_EQ(axisDescriptorList(0x7B, head),
              json::array({descriptor("swivelMax", "headPan"), descriptor("???", "headTilt"),
                           descriptor("???", "focus"), descriptor("???", "zoom"),
                           descriptor("???", "jibPan"), descriptor("???", "jibTilt")}));
    EXPECT_EQ(
        axisDescriptorList(0x18, std::vector<M>{M::lensDriveMax}),
        json::array({descriptor("lensDriveMax", "focus"), descriptor("lensDriveMax", "zoom")}));
    EXPECT_EQ(axisDescriptorList(0x60, std::vector<M>{M::craneArm2, M::craneArm}),
              json::array({descriptor("craneArm", "jibPan"), descriptor("craneArm", "jibTilt")}));
}

TEST(AxisDescriptorList, EmptySetOrHighBitGivesAnEmptyArrayNeverNull) {
    const auto empty = axisDescriptorList(0x00, std::vector<M>{M::turretAlpha});
    EXPECT_TRUE(empty.is_array());
    EXPECT_EQ(empty.dump(), "[]");
    EXPECT_EQ(axisDescriptorList(0x80, {}).dump(), "[]");
    EXPECT_EQ(axisDescriptorList(0x01, {}), json::array({descriptor("???", "headPan")}));
}

TEST(AxisValues, AcceptsEveryNumberKindAndBooleans) {
    const auto request = json::parse(
        R"({"headPan":-2,"headTilt":1.5,"slide":7,"focus":true,"craneMaxPan":0.25,
            "craneMaxTilt":false,"jibPan":9,"zoom":3,"duration":1})");
    const auto values = parseAxisValues(request);
    EXPECT_EQ(values.valueOr0(AxisSlot::headPan), -2.0f);
    EXPECT_EQ(values.valueOr0(AxisSlot::headTilt), 1.5f);
    EXPECT_EQ(values.valueOr0(AxisSlot::slide), 7.0f);
    EXPECT_EQ(values.valueOr0(AxisSlot::focus), 1.0f);
    EXPECT_EQ(values.valueOr0(AxisSlot::jibPan), 0.25f);
    EXPECT_TRUE(values.has(AxisSlot::jibTilt));
    // Readings keys and the zoom name are not request keys.
    EXPECT_FALSE(values.has(AxisSlot::zoom));
    EXPECT_EQ(values.givenSet(), 0x6F);
}

TEST(AxisValues, OnlyGivenAxesCount) {
    const auto values = parseAxisValues(json{{"headTilt", 0}, {"HeadPan", 1}});
    EXPECT_EQ(values.givenSet(), 0x02);
    EXPECT_EQ(values.valueOr0(AxisSlot::headPan), 0.0f);
    EXPECT_EQ(parseAxisValues(json::object()).givenSet(), 0);
}

TEST(AxisValues, NumbersBeyondTheFloatRangeBecomeInfinities) {
    const auto values =
        parseAxisValues(json::parse(R"({"slide":1e300,"focus":-1e39,"headPan":3e38})"));
    EXPECT_EQ(values.valueOr0(AxisSlot::slide), std::numeric_limits<float>::infinity());
    EXPECT_EQ(values.valueOr0(AxisSlot::focus), -std::numeric_limits<float>::infinity());
    EXPECT_EQ(values.valueOr0(AxisSlot::headPan), 3e38f);
}

TEST(AxisValues, OtherTypesForAnAxisKeyThrowTheLibraryTypeError) {
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
    // The same types under other keys are ignored.
    EXPECT_NO_THROW(parseAxisValues(json::parse(R"({"index":"1","note":null})")));
}

TEST(StatusEnums, UnknownCodesWriteTheFirstRow) {
    EXPECT_EQ(kBundleActivityTable.nameOf(BundleActivity{9}), "idle");
    EXPECT_EQ(kBundleActivityTable.nameOf(BundleActivity{6}), "unsupportedActivity");
    EXPECT_EQ(kInclineModeTable.nameOf(InclineMode{7}), "invalid");
    EXPECT_EQ(kInclineModeTable.nameOf(InclineMode{3}), "danger");
    EXPECT_EQ(kParkModeTable.nameOf(ParkMode{3}), "idle");
    EXPECT_EQ(kParkModeTable.nameOf(ParkMode{2}), "parked");
}

}  // namespace
}  // namespace kinetra::model
