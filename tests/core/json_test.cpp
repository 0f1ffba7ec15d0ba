#include "core/json.hpp"

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
