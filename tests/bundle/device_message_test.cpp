// Device message framing: the length byte, big-endian fields, the 16-bit sum, and the scaling of
// float parameters.
#include "bundle/device_message.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "test_support.hpp"

namespace kinetra::bundle {
namespace {

using test::hex;

// Fields are big-endian two's complement; a 16-bit field takes the low bits of any value.
TEST(DeviceMessage, LengthCountsEverythingBeforeTheBigEndianSum) {
    EXPECT_EQ(hex(*buildDeviceMessage(0xE6, {})), "02 E6 00 E8");
    EXPECT_EQ(hex(*buildDeviceMessage(0x1D, {byteField(3)})), "03 1D 03 00 23");
    EXPECT_EQ(hex(*buildDeviceMessage(
                  0x05, {byteField(1), field32(static_cast<std::int32_t>(0xCAFEF00Eu))})),
              "07 05 01 CA FE F0 0E 02 D3");
    EXPECT_EQ(hex(*buildDeviceMessage(0x01, {field32(-1000)})), "06 01 FF FF FC 18 03 19");
    EXPECT_EQ(hex(*buildDeviceMessage(0x01, {field16(-32000)})), "04 01 83 00 00 88");
    EXPECT_EQ(hex(*buildDeviceMessage(0x01, {field16(160000)})), "04 01 71 00 00 76");
    EXPECT_EQ(hex(*buildDeviceMessage(0x01, {field16(kScaledOutOfRange)})), "04 01 00 00 00 05");
}

// 255 counted bytes is the most the length byte holds, and the sum carries into its high byte.
// One byte more is refused, not truncated, and leaves the buffer as it was.
TEST(DeviceMessage, TooLongForTheLengthByteIsRefusedNotTruncated) {
    std::vector<Field> fields(63, field32(-1));
    fields.push_back(byteField(0xFF));
    core::Bytes out{0xAA};  // a message already in the buffer: not part of the new sum
    ASSERT_TRUE(appendDeviceMessage(out, 0xFF, fields));
    ASSERT_EQ(out.size(), 1u + 257);
    const unsigned sum = 0xFF + 0xFF + 252 * 0xFF + 0xFF;
    EXPECT_EQ(out[256], (sum >> 8) & 0xFF);
    EXPECT_EQ(out[257], sum & 0xFF);
    fields.push_back(byteField(1));
    EXPECT_FALSE(appendDeviceMessage(out, 0x10, fields));
    EXPECT_EQ(out.size(), 258u);
}

// A float parameter is scaled in double and truncated toward zero; out of range or NaN gives
// 0x80000000.
TEST(DeviceMessage, ScalingTruncatesTowardZeroInDouble) {
    EXPECT_EQ(scaled(-0.0019f, 1000.0), -1);
    EXPECT_EQ(scaled(0.0019f, 1000.0), 1);
    EXPECT_EQ(scaled(0.7f, 32000.0), 22399);  // 0.69999998... stays below 22400 in double
    EXPECT_EQ(truncateToInt32(2147483647.9), 2147483647);
    EXPECT_EQ(truncateToInt32(-2147483648.9), INT32_MIN);
    for (const double outside : {2147483648.0, -2147483649.0, std::nan(""), HUGE_VAL, -HUGE_VAL}) {
        EXPECT_EQ(truncateToInt32(outside), kScaledOutOfRange) << outside;
    }
    EXPECT_EQ(scaled(3e38f, 1000.0), kScaledOutOfRange);
    EXPECT_EQ(static_cast<std::uint32_t>(kScaledOutOfRange), 0x80000000u);
}

}  // namespace
}  // namespace kinetra::bundle
