#include "core/bytes.hpp"

#include <array>

#include <gtest/gtest.h>

namespace kinetra::core {
namespace {

TEST(Bytes, ReadsAndAppendsHighByteFirstWithSignedFieldsAsTwosComplement) {
    const std::array<std::uint8_t, 6> raw{0xFF, 0xFF, 0xFC, 0x18, 0x80, 0x00};
    EXPECT_EQ(readI32BE(raw, 0), -1000);
    EXPECT_EQ(readU32BE(raw, 0), 0xFFFFFC18u);
    EXPECT_EQ(readI16BE(raw, 4), -32768);
    EXPECT_EQ(readU16BE(raw, 2), 0xFC18);

    Bytes out;
    appendU16BE(out, 0x0CE4);
    appendI32BE(out, -1000);
    appendU32BE(out, 0xCAFEF00E);
    EXPECT_EQ(out, (Bytes{0x0C, 0xE4, 0xFF, 0xFF, 0xFC, 0x18, 0xCA, 0xFE, 0xF0, 0x0E}));
}

}  // namespace
}  // namespace kinetra::core
