#include "gateway/jog_guard.hpp"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace kinetra::gateway {
namespace {

struct Sent {
    int client;
    std::string path;
    std::string body;
};

struct Case {
    const char* name;
    std::vector<Sent> sent;
    int released;  // the client whose stops are taken
    std::vector<JogGuard::Request> expected;
};

const std::vector<Case> kCases = {
    {"a non-zero jog is owed a zero jog on the same axes",
     {{1, "/v1/bundle/A", R"({"command":"joystickMove","headPan":0.5,"headTilt":0})"}},
     1,
     {{"/v1/bundle/A", R"({"command":"joystickMove","headPan":0,"headTilt":0})"}}},
    {"the last jog's axes count",
     {{1, "/v1/bundle/A", R"({"command":"joystickMove","headPan":1,"headTilt":1})"},
      {1, "/v1/bundle/A", R"({"command":"joystickMove","slide":-0.2})"}},
     1,
     {{"/v1/bundle/A", R"({"command":"joystickMove","slide":0})"}}},
    {"a zero jog settles it",
     {{1, "/v1/bundle/A", R"({"command":"joystickMove","slide":0.3})"},
      {1, "/v1/bundle/A", R"({"command":"joystickMove","slide":0})"}},
     1,
     {}},
    {"a motionAbort settles it",
     {{1, "/v1/bundle/A", R"({"command":"joystickMove","slide":0.3})"},
      {1, "/v1/bundle/A", R"({"command":"motionAbort"})"}},
     1,
     {}},
    {"each bundle of a client, and only that client's",
     {{1, "/v1/bundle/B", R"({"command":"joystickMove","slide":true})"},
      {2, "/v1/bundle/C", R"({"command":"joystickMove","slide":1})"},
      {1, "/v1/bundle/A", R"({"command":"joystickMove","craneMaxPan":-1,"craneMaxTilt":0})"}},
     1,
     {{"/v1/bundle/A", R"({"command":"joystickMove","craneMaxPan":0,"craneMaxTilt":0})"},
      {"/v1/bundle/B", R"({"command":"joystickMove","slide":0})"}}},
    {"other paths, commands and bodies are not jogs",
     {{1, "/v1/bundle/A/status", R"({"command":"joystickMove","slide":1})"},
      {1, "/v1/link/A", R"({"command":"joystickMove","slide":1})"},
      {1, "/v1/bundle/A", R"({"command":"realTimeMove","slide":1})"},
      {1, "/v1/bundle/A", R"({"command":"joystickMove","slide":1)"},
      {1, "/v1/bundle/A", R"(["joystickMove"])"}},
     1,
     {}},
};

TEST(JogGuard, OwesAStopForEveryBundleLeftJogging) {
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        JogGuard guard;
        int clients[3] = {};
        for (const auto& sent : c.sent) {
            guard.observe(&clients[sent.client], sent.path, sent.body);
        }
        EXPECT_EQ(guard.release(&clients[c.released]), c.expected);
        EXPECT_TRUE(guard.release(&clients[c.released]).empty()) << "released twice";
    }
}

}  // namespace
}  // namespace kinetra::gateway
