// The jog dead-man: which axes the guard holds owed through the bundle's answers (as a table),
// and the zero that reaches a bundle over real sockets when a /v1 or /v2 WebSocket client
// vanishes or an HTTP jog is not refreshed.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "gateway/jog_guard.hpp"
#include "gateway/server.hpp"
#include "gateway_test_support.hpp"

namespace kinetra::gateway {
namespace {

using namespace std::chrono_literals;
using test::FakeService;
using test::TestClient;

std::string jog(const std::string& members) {
    return R"({"command":"joystickMove")" + (members.empty() ? "" : "," + members) + "}";
}

const std::string kOk = R"({"result":"ok"})";
const std::string kInvalid = R"({"result":"invalid setup"})";
const std::string kParseError =
    R"({"result":"command parsing error. please check the arguments, syntax, naming etc."})";
const std::string kUnacknowledged = R"({"acknowledged":false,"result":"ok"})";
const std::string kInFlight;  // no answer yet

struct Step {
    int client;
    std::string path;
    std::string body;
    std::string reply;
};
struct GuardCase {
    const char* name;
    std::vector<Step> steps;
    std::vector<JogGuard::Request> owed;  // by client 1
};

const std::string A = "/v1/bundle/A";
const std::string B = "/v1/bundle/B";

const std::vector<GuardCase> kGuardCases = {
    {"a slide outlives pan and tilt zeros",
     {{1, A, jog(R"("slide":0.5)"), kOk}, {1, A, jog(R"("headPan":0,"headTilt":0)"), kOk}},
     {{A, jog(R"("slide":0)")}}},
    {"refused, unreadable, empty and unacknowledged zeros stop nothing",
     {{1, A, jog(R"("headPan":0.5,"headTilt":0)"), kOk},
      {1, A, jog(R"("headPan":0)"), kInvalid},
      {1, A, jog(R"("headPan":"0","headTilt":0)"), kParseError},
      {1, A, jog(R"("focus":0,"headPan":0,"headTilt":0)"), kInvalid},
      {1, A, jog(""), kOk},
      {1, A, jog(R"("headPan":false,"headTilt":0)"), kUnacknowledged}},
     {{A, jog(R"("headPan":0,"headTilt":0)")}}},
    {"escaped names are the names the bundle reads",
     {{1, A, R"({"command":"joystick\u004dove","sl\u0069de":-0.2})", kOk}},
     {{A, jog(R"("slide":0)")}}},
    {"owed from the send, on the axes named",
     {{1, A, jog(R"("craneMaxPan":1,"craneMaxTilt":0)"), kInFlight}},
     {{A, jog(R"("craneMaxPan":0,"craneMaxTilt":0)")}}},
    {"a refused jog owes nothing and leaves the last accepted axes",
     {{1, A, jog(R"("headPan":true)"), kOk},
      {1, A, jog(R"("headPan":1,"headTilt":1)"), kInvalid},
      {1, B, jog(R"("slide":1)"), kInvalid}},
     {{A, jog(R"("headPan":0)")}}},
    {"a jib zero beside a slide may not reach a crane arm's jib",
     {{1, A, jog(R"("craneMaxPan":0.5,"craneMaxTilt":0.5)"), kOk},
      {1, A, jog(R"("craneMaxPan":0,"craneMaxTilt":0,"slide":0)"), kOk}},
     {{A, jog(R"("craneMaxPan":0,"craneMaxTilt":0)")}}},
    {"an accepted zero or motionAbort settles, per client and bundle",
     {{1, A, jog(R"("slide":0.3,"headPan":0.1,"headTilt":0)"), kOk},
      {1, A, jog(R"("headTilt":0,"slide":0,"headPan":0)"), kOk},
      {1, B, jog(R"("slide":0.3)"), kOk},
      {1, B, R"({"command":"motionAbort"})", kOk},
      {2, A, jog(R"("slide":1)"), kOk}},
     {}},
    {"other paths, commands and bodies are not jogs",
     {{1, "/v1/bundle/A/status", jog(R"("slide":1)"), kOk},
      {1, "/v1/link/A", jog(R"("slide":1)"), kOk},
      {1, A, R"({"command":"realTimeMove","slide":1})", kOk},
      {1, A, R"({"command":"joystickMove","slide":1)", kParseError},
      {1, A, R"(["joystickMove"])", kParseError}},
     {}},
};

TEST(JogGuard, OwesAZeroForEveryAxisGroupLeftMoving) {
    for (const auto& c : kGuardCases) {
        SCOPED_TRACE(c.name);
        JogGuard guard;
        int clients[3] = {};
        std::vector<JogGuard::Ticket> inFlight;
        for (const auto& [client, path, body, reply] : c.steps) {
            auto ticket = guard.observe(&clients[client], path, body);
            if (ticket && reply.empty()) {
                inFlight.push_back(*ticket);
            } else if (ticket) {
                guard.settle(*ticket, JogGuard::answerOf(Outcome::reply, reply));
            }
        }
        EXPECT_EQ(guard.release(&clients[1]), c.owed);
        // An answer that comes after the stop went out brings nothing back.
        for (const auto& ticket : inFlight) {
            guard.settle(ticket, JogGuard::Answer::accepted);
        }
        EXPECT_TRUE(guard.release(&clients[1]).empty()) << "released twice";
    }
}

// The gateway with a bundle that refuses a lone pan and answers everything else "ok".
class DeadMan : public ::testing::Test {
protected:
    void SetUp() override {
        server.start(2);
        ASSERT_NE(server.webSocketPort(), 0);
    }
    // True when no request beyond the first `count` reaches the bundle within `wait`.
    bool nothingAfter(std::size_t count, std::chrono::milliseconds wait) {
        return !bundle.requests.waitUntil([&](const auto& all) { return all.size() > count; },
                                          wait);
    }

    test::LogCapture logs;
    FakeService bundle{"inproc://v1/bundle/KGAP", [](const std::string& request) {
                           return request == jog(R"("headPan":0)") ? kInvalid : kOk;
                       }};
    Server server{test::kLoopback};
};

// A client that vanishes (no close frame) while it holds a bundle jogging, over /v1 or through
// a /v2 call, has a zero sent on the axes it left moving at once, and the log says so.
TEST_F(DeadMan, AVanishedClientGetsTheZeroItOwesAndNothingWhenItOwesNone) {
    const struct {
        std::vector<std::string> sent;
        std::string stop;
        bool v2 = false;
    } cases[] = {
        {{jog(R"("slide":0.4)"), jog(R"("headPan":0,"headTilt":0)")}, jog(R"("slide":0)")},
        {{jog(R"("headPan":0.4,"headTilt":0.1)"), jog(R"("headPan":0)")},
         jog(R"("headPan":0,"headTilt":0)")},
        {{jog(R"("slide":0.4)"), jog(R"("slide":0)")}, ""},
        {{jog(R"("headPan":0.5,"headTilt":0)")}, jog(R"("headPan":0,"headTilt":0)"), true},
    };
    for (const auto& [sent, stop, v2] : cases) {
        SCOPED_TRACE(sent.front());
        const auto before = bundle.requests.waitFor().size();
        TestClient client(server.webSocketPort());
        ASSERT_TRUE(test::upgraded(client, v2 ? "/v2" : "/v1/bundle/KGAP"));
        for (const auto& message : sent) {
            client.sendText(v2 ? R"({"jsonrpc":"2.0","id":1,"method":"call","params":)"
                                 R"({"path":"/v1/bundle/KGAP","request":)" +
                                     message + "}}"
                               : message);
            ASSERT_TRUE(test::nextText(client).has_value());
        }
        const auto gone = std::chrono::steady_clock::now();
        client.reset();
        const auto count = before + sent.size();
        if (stop.empty()) {
            EXPECT_TRUE(nothingAfter(count, 300ms));
        } else {
            EXPECT_EQ(bundle.requests.waitFor(count + 1).at(count), stop);
            EXPECT_LT(std::chrono::steady_clock::now() - gone, 200ms);
        }
        ASSERT_TRUE(test::waitUntil([&] { return server.webSocketPaths().empty(); }));
    }
    const auto lines = logs.lines();
    EXPECT_EQ(std::ranges::count_if(lines,
                                    [](const std::string& line) {
                                        return line.ends_with(" gone: stopping the jog on KGAP.");
                                    }),
              3);
}

TEST_F(DeadMan, AnHttpJogNotRefreshedWithinHalfASecondIsStoppedOnce) {
    auto lastSent = std::chrono::steady_clock::now();
    std::size_t posted = 0;
    const auto post = [&](const std::string& body) {
        lastSent = std::chrono::steady_clock::now();
        TestClient::exchange(server.httpPort(), test::httpRequest("POST", "/v1/bundle/KGAP", body));
        ++posted;
    };
    // Held by a refresh every 150 ms for a second: no stop meanwhile.
    const auto started = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - started < 1s) {
        post(jog(R"("headPan":0.2,"headTilt":0)"));
        post(jog(R"("slide":0.3)"));
        std::this_thread::sleep_for(150ms);
    }
    ASSERT_EQ(bundle.requests.waitFor().size(), posted);
    ASSERT_EQ(bundle.requests.waitFor(posted + 1, 3s).size(), posted + 1);
    EXPECT_GE(std::chrono::steady_clock::now() - lastSent, 500ms);
    EXPECT_EQ(bundle.requests.waitFor().back(), jog(R"("headPan":0,"headTilt":0,"slide":0)"));
    EXPECT_TRUE(nothingAfter(posted + 1, 800ms)) << "once";
    EXPECT_TRUE(logs.has("info: Client 127.0.0.1:"));
    // A jog stopped by its client owes nothing.
    post(jog(R"("slide":0.3)"));
    post(jog(R"("slide":0)"));
    EXPECT_TRUE(nothingAfter(posted + 1, 800ms));
    // A server that stops lets go of a jog held over HTTP at once.
    post(jog(R"("slide":-1)"));
    server.stop();
    const auto all = bundle.requests.waitFor(posted + 2);
    ASSERT_EQ(all.size(), posted + 2);
    EXPECT_EQ(all.back(), jog(R"("slide":0)"));
}

// Messages a client queued behind a slow reply go with the client: sent after the stop, a jog
// would move the gear with nobody left to stop it.
TEST_F(DeadMan, MessagesQueuedByAVanishedClientAreNotSentAfterItsStop) {
    FakeService slow("inproc://v1/bundle/KSLOW", [](const std::string&) {
        std::this_thread::sleep_for(300ms);
        return std::optional(kOk);
    });
    TestClient client(server.webSocketPort());
    ASSERT_TRUE(test::upgraded(client, "/v1/bundle/KSLOW"));
    for (const double slide : {0.1, 0.2, 0.3}) {
        client.sendText(jog(R"("slide":)" + std::to_string(slide)));
    }
    client.shutdownSend();  // unlike a reset, lets the server read all three first
    EXPECT_FALSE(slow.requests.waitUntil([](const auto& all) { return all.size() > 2; }, 1500ms));
    EXPECT_EQ(slow.requests.waitFor().back(), jog(R"("slide":0)"));
}

}  // namespace
}  // namespace kinetra::gateway
