#include "bus/envelope.hpp"

#include <gtest/gtest.h>

namespace kinetra::bus {
namespace {

TEST(Envelope, BuildsCompactRepliesAndTakesOnlyAStringCommandOfAnObject) {
    EXPECT_EQ(resultText("offline"), R"({"result":"offline"})");
    EXPECT_EQ(core::dumpCompact(dataReply(json::array())), R"({"data":[],"result":"ok"})");
    EXPECT_EQ(commandOf(json::parse(R"({"command":"status","x":1})")), "status");
    for (const char* request : {R"({"command":5})", "{}", R"(["command"])", R"("command")"}) {
        EXPECT_FALSE(commandOf(json::parse(request)).has_value()) << request;
    }
    EXPECT_FALSE(parseRequest("{\"command\":").has_value());  // refused without throwing
    EXPECT_TRUE(parseRequest("{}").has_value());
}

}  // namespace
}  // namespace kinetra::bus
