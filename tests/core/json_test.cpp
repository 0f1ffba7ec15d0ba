#include "core/json.hpp"

#include <limits>

#include <gtest/gtest.h>

namespace kinetra::core {
namespace {

TEST(DumpCompact, WritesMembersSortedWithoutSpaces) {
    const json value =
        json::parse(R"({ "zeta" : 1, "alpha" : [1, 2], "mid": {"b": true, "a": null} })");
    EXPECT_EQ(dumpCompact(value), R"({"alpha":[1,2],"mid":{"a":null,"b":true},"zeta":1})");
}

TEST(DumpCompact, ReplacesInvalidUtf8InsteadOfThrowing) {
    const json value = {{"text", std::string("ok\xC3\x28")}};
    EXPECT_EQ(dumpCompact(value), "{\"text\":\"ok\xEF\xBF\xBD(\"}");
}

TEST(DumpCompact, KeepsNonAsciiTextAsUtf8) {
    EXPECT_EQ(dumpCompact(json("Kamerakran \xC3\xBC")), "\"Kamerakran \xC3\xBC\"");
}

}  // namespace
}  // namespace kinetra::core

namespace kinetra::core {
namespace {

TEST(FloatNumber, WritesTheShortestDecimalOfTheFloat) {
    EXPECT_EQ(dumpCompact(floatNumber(0.85f)), "0.85");
    EXPECT_EQ(dumpCompact(floatNumber(12.5f)), "12.5");
    EXPECT_EQ(dumpCompact(floatNumber(-16.146f)), "-16.146");
    EXPECT_EQ(dumpCompact(floatNumber(0.0000222f)), "2.22e-05");
    EXPECT_EQ(floatNumber(89.1f).get<float>(), 89.1f);  // reads back as the same float
    EXPECT_EQ(dumpCompact(floatNumber(std::numeric_limits<float>::quiet_NaN())), "null");
}

}  // namespace
}  // namespace kinetra::core
