#include "core/enum_table.hpp"

#include <gtest/gtest.h>

namespace kinetra::core {
namespace {

enum class Colour : int { red = 0, green = 1, blue = 7 };

constexpr auto kColours =
    makeEnumTable<Colour>({{Colour::red, "red"}, {Colour::green, "green"}, {Colour::blue, "blue"}});

TEST(EnumTable, WritesAndReadsEveryRow) {
    for (const auto& row : kColours.rows()) {
        EXPECT_EQ(kColours.nameOf(row.value), row.name);
        EXPECT_EQ(kColours.valueOf(row.name), row.value);
    }
}

TEST(EnumTable, UnknownValueWritesTheFirstRowsName) {
    EXPECT_EQ(kColours.nameOf(static_cast<Colour>(3)), "red");
    EXPECT_FALSE(kColours.contains(static_cast<Colour>(3)));
}

TEST(EnumTable, UnknownOrMiscasedNameReadsTheFirstRowsValue) {
    EXPECT_EQ(kColours.valueOf("purple"), Colour::red);
    EXPECT_EQ(kColours.valueOf("Blue"), Colour::red);
    EXPECT_EQ(kColours.valueOf(""), Colour::red);
    EXPECT_FALSE(kColours.find("Blue").has_value());
}

static_assert(kColours.nameOf(Colour::blue) == "blue", "tables are usable at compile time");

}  // namespace
}  // namespace kinetra::core
