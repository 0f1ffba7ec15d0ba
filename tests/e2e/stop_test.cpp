// Stops first, end to end: an emulated adapter (in this process, so its record of the line and
// its arrival times can be read) attached to the real server, a hundred slow commands queued
// for its bundle by two /v2 clients, then a motionAbort over HTTP: it reaches the line at once
// and every command queued before it is answered "cancelled by stop". Then a jogger that hangs
// gets its zero.
#include <array>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "core/json.hpp"
#include "e2e/running_server.hpp"
#include "net/test_client.hpp"
#include "sim/emulated_link.hpp"
#include "sim/registration.hpp"
#include "support/emulated_rig.hpp"

namespace kinetra {
namespace {

using net::test::TestClient;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr auto kStopBound = 1000ms;  // instrumented builds run several times slower
#else
constexpr auto kStopBound = 100ms;
#endif
constexpr std::uint8_t kHeadKeyposeMove = 0x07;
constexpr std::uint8_t kHeadMotionAbort = 0x09;
constexpr std::uint8_t kHeadJoystick = 0x0A;

TEST(StopsFirst, AMotionAbortOvertakesAHundredQueuedCommandsAndAHungJoggerGetsItsZero) {
    RunningServer server;
    auto config = testing::gear({testing::device(model::DeviceModel::turretAlpha2, 1)});
    config.linkID = "KSIMSTOP0001";
    sim::EmulatedLink emulator(config);
    ASSERT_TRUE(server.listening()) << server.process->output();
    server.post("/v1/device", sim::deviceFoundRequest(emulator.config(), emulator.path()));
    ASSERT_TRUE(server.linkIs(config.linkID)) << server.process->output();
    ASSERT_TRUE(server.pairOverRj45(config.linkID));
    const std::string bundle = "/v1/bundle/KSIMSTOP0001";

    // Slot 5 holds no pose: the head refuses each move, so each waits out its three attempts.
    // Two /v2 clients queue fifty each (a client may have 64 waiting), then each asks the
    // device service once: that answer means the gateway has sent all fifty to the bundle, so
    // the stop, sent after both, is behind all hundred on the way there.
    const json slow{{"command", "keyposeMoveFixedDuration"},
                    {"index", 5},
                    {"duration", 1},
                    {"acceleration", 0.5}};
    const auto call = [](int id, const std::string& path, const json& request) {
        return json{{"jsonrpc", "2.0"},
                    {"id", id},
                    {"method", "call"},
                    {"params", {{"path", path}, {"request", request}}}}
            .dump();
    };
    const auto from = emulator.receivedCount();
    std::map<int, json> results;
    std::array<TestClient, 2> clients{TestClient(server.webSocketPort),
                                      TestClient(server.webSocketPort)};
    for (std::size_t c = 0; c < clients.size(); ++c) {
        ASSERT_TRUE(clients[c].upgrade("/v2").starts_with("HTTP/1.1 101 "));
        for (int i = 0; i < 50; ++i) {
            clients[c].sendText(call(static_cast<int>(c) * 50 + i, bundle, slow));
        }
        clients[c].sendText(call(1000, "/v1/device", {{"command", "linkStatus"}}));
    }
    // Each client gets 51 replies in all; the fence's (id 1000) first, unless a move ended.
    std::array<int, 2> read{};
    const auto readOne = [&](std::size_t c) {
        auto frame = clients[c].nextFrame(5s);
        // A client silent for 5 s is pinged; on a loaded machine that can fall amid the replies.
        while (frame && (frame->firstByte & 0x0F) == 0x9) {
            frame = clients[c].nextFrame(5s);
        }
        const json reply = json::parse(frame ? frame->payload : "{}", nullptr, false);
        ++read[c];
        results[reply.value("id", -1)] = reply.value("result", json());
        return frame ? reply.value("id", -1) : -2;
    };
    for (std::size_t c = 0; c < clients.size(); ++c) {
        for (int id = readOne(c); id != 1000; id = readOne(c)) {
            ASSERT_NE(id, -2) << "the fence never came back";
        }
    }
    ASSERT_TRUE(emulator.waitForDeviceMessage(kHeadKeyposeMove, 5s, from)) << "none in flight";

    const auto sent = std::chrono::steady_clock::now();
    EXPECT_EQ(testing::postText(server.httpPort, bundle, R"({"command":"motionAbort"})"),
              R"({"result":"ok"})");
    const auto abort = emulator.waitForDeviceMessage(kHeadMotionAbort, 5s, from);
    ASSERT_TRUE(abort) << "the stop never reached the line";
    EXPECT_LT(abort->at - sent, kStopBound);

    for (std::size_t c = 0; c < clients.size(); ++c) {
        while (read[c] < 51) {
            ASSERT_NE(readOne(c), -2);
        }
    }
    int cancelled = 0;
    for (int id = 0; id < 100; ++id) {
        if (results[id] == json{{"result", "cancelled by stop"}}) {
            ++cancelled;
        } else {
            // Only the one in flight may have finished before the stop came.
            EXPECT_EQ(results[id], (json{{"acknowledged", false}, {"result", "ok"}})) << id;
        }
    }
    EXPECT_GE(cancelled, 99);
    // Nothing queued before the stop went on the line after it.
    for (const auto& received : emulator.received()) {
        EXPECT_FALSE(received.kind == sim::ReceivedKind::deviceMessage &&
                     received.opcode == kHeadKeyposeMove && received.at > abort->at);
    }

    // A jogging client that hangs (stopped, or its network gone without a FIN) neither reads
    // nor answers pings: ten seconds after its last frame the server closes it and sends the
    // zero, the next joystick message on the line.
    TestClient jogger(server.webSocketPort);
    ASSERT_TRUE(jogger.upgrade(bundle).starts_with("HTTP/1.1 101 "));
    jogger.sendText(R"({"command":"joystickMove","headPan":0.3,"headTilt":0})");
    ASSERT_TRUE(jogger.nextFrame(5s)) << "the jog was not answered";
    const auto lastFrame = std::chrono::steady_clock::now();
    const auto zero = emulator.waitForDeviceMessage(kHeadJoystick, 15s, emulator.receivedCount());
    ASSERT_TRUE(zero) << "no zero within 15 s";
    EXPECT_EQ(zero->bytes, (core::Bytes{0x06, 0x0A, 0, 0, 0, 0, 0, 0x10}));
    EXPECT_GE(zero->at - lastFrame, 9s) << "closed before its pings went unanswered";
    EXPECT_LT(zero->at - lastFrame, 12s);
}

}  // namespace
}  // namespace kinetra
