#include "bus/envelope.hpp"

#include <gtest/gtest.h>

namespace kinetra::bus {
namespace {

TEST(Envelope, BuildsCompactRepliesWithSortedMembers) {
    EXPECT_EQ(resultText("offline"), R"({"result":"offline"})");
    EXPECT_EQ(core::dumpCompact(dataReply(json::array())), R"({"data":[],"result":"ok"})");
}

TEST(Envelope, CommandMustBeAStringInAnObject) {
    EXPECT_EQ(commandOf(json::parse(R"({"command":"status","x":1})")), "status");
    EXPECT_FALSE(commandOf(json::parse(R"({"command":5})")).has_value());
    EXPECT_FALSE(commandOf(json::parse(R"({})")).has_value());
    EXPECT_FALSE(commandOf(json::parse(R"(["command"])")).has_value());
    EXPECT_FALSE(commandOf(json::parse(R"("command")")).has_value());
}

TEST(Envelope, ParseRequestRefusesNonJsonWithoutThrowing) {
    EXPECT_FALSE(parseRequest("{\"command\":").has_value());
    EXPECT_FALSE(parseRequest("").has_value());
    EXPECT_TRUE(parseRequest("{}").has_value());
}

}  // namespace
}  // namespace kinetra::bus
