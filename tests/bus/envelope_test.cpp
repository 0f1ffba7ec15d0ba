#include "bus/envelope.hpp"

#include <gtest/gtest.h>

#include "bus/endpoints.hpp"

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

TEST(Endpoints, MapPathsAndLinkIds) {
    EXPECT_EQ(endpointForPath("/v1/device"), "inproc://v1/device");
    EXPECT_EQ(linkDetectEndpoint("205F33A84E53"), "inproc://v1/link/205F33A84E53/detect");
    EXPECT_EQ(bundleUpdateStatusEndpoint("X"), "inproc://v1/bundle/X/update_status");
}

}  // namespace
}  // namespace kinetra::bus
