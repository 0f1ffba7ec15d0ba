#include "bundle/device_message.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "test_support.hpp"

namespace kinetra::bundle {
namespace {

using test::hex;

TEST(DeviceMessage, LengthCountsEverythingBeforeTheBigEndianSum) {
    EXPECT_EQ(hex(*buildDeviceMessage(0xE6, {})), "02 E6 00 E8");
    EXPECT_EQ(hex(*buildDeviceMessage(0x1D, {byteField(3)})), "03 1D 03 00 23");
    EXPECT_EQ(hex(*buildDeviceMessage(
                  0x05, {byteField(1), field32(static_cast<std::int32_t>(0xCAFEF00Eu))})),
              "07 05 01 CA FE F0 0E 02 D3");
    // The sum carries into its high byte and wraps at 16 bits.
    std::vector<Field> many(63, field32(-1));
    many.push_back(byteField(0xFF));
    core::Bytes out;
    ASSERT_TRUE(appendDeviceMessage(out, 0xFF, many));
    ASSERT_EQ(out.size(), 257u);
    const unsigned sum = 0xFF + 0xFF + 252 * 0xFF + 0xFF;
    EXPECT_EQ(out[255], (sum >> 8) & 0xFF);
    EXPECT_EQ(out[256], sum & 0xFF);
}

TEST(DeviceMessage, TooLongForTheLengthByteIsRefusedNotTruncated) {
    core::Bytes out{0xAA};
    const std::vector<Field> fields(64, field32(1));  // 2 + 256 counted bytes
    EXPECT_FALSE(appendDeviceMessage(out, 0x10, fields));
    EXPECT_EQ(out, core::Bytes{0xAA});
    std::vector<Field> exact(63, field32(1));
    exact.push_back(byteField(1));  // 255 counted bytes: the largest that fits
    EXPECT_TRUE(appendDeviceMessage(out, 0x10, exact));
    EXPECT_EQ(out[1], 0xFF);
}

TEST(DeviceMessage, FieldsAreBigEndianTwosComplement) {
    EXPECT_EQ(hex(*buildDeviceMessage(0x01, {field32(-1000)})), "06 01 FF FF FC 18 03 19");
    // 16-bit fields take the low bits, whatever the value's range.
    EXPECT_EQ(hex(*buildDeviceMessage(0x01, {field16(-32000)})), "04 01 83 00 00 88");
    EXPECT_EQ(hex(*buildDeviceMessage(0x01, {field16(160000)})), "04 01 71 00 00 76");
    EXPECT_EQ(hex(*buildDeviceMessage(0x01, {field16(kScaledOutOfRange)})), "04 01 00 00 00 05");
    EXPECT_EQ(hex(*buildDeviceMessage(0x01, {byteField(0xFF)})), "03 01 FF 01 03");
}

TEST(DeviceMessage, ScalingTruncatesTowardZeroInDouble) {
    EXPECT_EQ(scaled(-1.0f, 1000.0), -1000);
    EXPECT_EQ(scaled(-0.0019f, 1000.0), -1);
    EXPECT_EQ(scaled(0.0019f, 1000.0), 1);
    // 0.7f is 0.69999998...; in double the product stays just below 22400.
    EXPECT_EQ(scaled(0.7f, 32000.0), 22399);
    EXPECT_EQ(scaled(0.1f, 32000.0), 3200);
}

TEST(DeviceMessage, OutOfRangeAndNaNScaleTo0x80000000) {
    EXPECT_EQ(truncateToInt32(2147483647.9), 2147483647);
    EXPECT_EQ(truncateToInt32(-2147483648.9), std::numeric_limits<std::int32_t>::min());
    EXPECT_EQ(truncateToInt32(2147483648.0), kScaledOutOfRange);
    EXPECT_EQ(truncateToInt32(-2147483649.0), kScaledOutOfRange);
    EXPECT_EQ(truncateToInt32(std::nan("")), kScaledOutOfRange);
    EXPECT_EQ(truncateToInt32(std::numeric_limits<double>::infinity()), kScaledOutOfRange);
    EXPECT_EQ(truncateToInt32(-std::numeric_limits<double>::infinity()), kScaledOutOfRange);
    EXPECT_EQ(scaled(3e38f, 1000.0), kScaledOutOfRange);
    EXPECT_EQ(static_cast<std::uint32_t>(kScaledOutOfRange), 0x80000000u);
}

}  // namespace
}  // namespace kinetra::bundle
