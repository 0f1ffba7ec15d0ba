#include "core/json.hpp"

#include <limits>

#include <gtest/gtest.h>

namespace kinetra::core {
namespace {

TEST(DumpCompact, WritesMembersSortedWithoutSpacesAndReplacesInvalidUtf8) {
    EXPECT_EQ(dumpCompact(json::parse(R"({ "zeta" : 1, "alpha" : [1, 2], "mid": {"b": true} })")),
              R"({"alpha":[1,2],"mid":{"b":true},"zeta":1})");
    EXPECT_EQ(dumpCompact(json("Kamerakran \xC3\xBC")), "\"Kamerakran \xC3\xBC\"");
    EXPECT_EQ(dumpCompact(json("ok\xC3\x28")), "\"ok\xEF\xBF\xBD(\"");
}

TEST(FloatNumber, WritesTheShortestDecimalOfTheFloat) {
    EXPECT_EQ(dumpCompact(floatNumber(0.85f)), "0.85");
    EXPECT_EQ(dumpCompact(floatNumber(-16.146f)), "-16.146");
    EXPECT_EQ(dumpCompact(floatNumber(0.0000222f)), "2.22e-05");
    EXPECT_EQ(floatNumber(89.1f).get<float>(), 89.1f);  // reads back as the same float
    EXPECT_EQ(dumpCompact(floatNumber(std::numeric_limits<float>::quiet_NaN())), "null");
}

}  // namespace
}  // namespace kinetra::core
