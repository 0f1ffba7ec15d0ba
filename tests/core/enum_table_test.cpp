#include "core/enum_table.hpp"

#include <gtest/gtest.h>

namespace kinetra::core {
namespace {

enum class Colour : int { red = 0, green = 1, blue = 7 };

constexpr auto kColours =
    makeEnumTable<Colour>({{Colour::red, "red"}, {Colour::green, "green"}, {Colour::blue, "blue"}});
static_assert(kColours.nameOf(Colour::blue) == "blue", "tables are usable at compile time");

TEST(EnumTable, ReadsItsRowsBothWaysAndTheFirstRowForAnythingElse) {
    EXPECT_EQ(kColours.valueOf("green"), Colour::green);
    EXPECT_EQ(kColours.nameOf(static_cast<Colour>(3)), "red");
    EXPECT_FALSE(kColours.contains(static_cast<Colour>(3)));
    for (const char* unknown : {"purple", "Blue", ""}) {
        EXPECT_EQ(kColours.valueOf(unknown), Colour::red) << unknown;
        EXPECT_FALSE(kColours.find(unknown).has_value()) << unknown;
    }
}

}  // namespace
}  // namespace kinetra::core
