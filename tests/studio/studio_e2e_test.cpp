// The studio outputs: the real server with an emulated adapter sends FreeD packets to a UDP
// listener of the test, takes OSC messages sent with liblo and serves the test's VISCA
// controller; the studio service alone drives a recording bundle service from OSC. All traffic
// stays on loopback.
#include <lo/lo.h>
#include <signal.h>

#include <chrono>
#include <optional>

#include <gtest/gtest.h>

#include "bus/feed.hpp"
#include "core/json.hpp"
#include "e2e/running_server.hpp"
#include "gateway/gateway_test_support.hpp"
#include "net/udp_listener.hpp"
#include "studio/freed_packet.hpp"
#include "studio/studio_service.hpp"
#include "visca_client.hpp"

namespace kinetra {
namespace {

using net::test::UdpListener;
using studio::test::ViscaClient;
using Clock = std::chrono::steady_clock;
using namespace std::string_literals;

const json kOk{{"result", "ok"}};

void sendOsc(std::uint16_t port, const char* path, const char* types, float a = 0, float b = 0,
             float c = 0) {
    lo_address target = lo_address_new("127.0.0.1", std::to_string(port).c_str());
    const int sent =
        types[0] == '\0' ? lo_send(target, path, "") : lo_send(target, path, types, a, b, c);
    lo_address_free(target);
    ASSERT_GT(sent, 0) << path;
}

// OSC input is open too, but trusts only 127.0.0.2 here: its datagrams from 127.0.0.1 are
// counted and dropped while the outputs go on. [visca] turns the link into a VISCA camera on its
// port: an AbsolutePosition from a controller on 127.0.0.2 moves the emulated head there,
// Pan-tiltPosInq reads it back, studioStatus counts.
TEST(StudioEndToEnd, FreedPacketsOscFeedbackAndAViscaControllerFollowTheHead) {
    UdpListener listener;
    UdpListener feedback;
    const std::uint16_t oscPort = UdpListener().port();
    const std::uint16_t viscaPort = UdpListener().port();
    RunningServer server(
        {"--simulate"},
        "[freed]\ntargets=127.0.0.1:" + std::to_string(listener.port()) +
            "\nrate=50\n[osc]\naddress=127.0.0.1\nport=" + std::to_string(oscPort) +
            "\nfeedback=127.0.0.1:" + std::to_string(feedback.port()) +
            "\n[visca]\naddress=127.0.0.1\nports=KSIM0001:" + std::to_string(viscaPort) +
            "\npanTiltUnitDegrees=0.1\n[security]\ntrustedNetworks=127.0.0.2/32\n");
    ASSERT_TRUE(server.listening()) << server.process->output();
    // No packets while nothing is paired.
    EXPECT_FALSE(listener.next(300ms));
    ASSERT_TRUE(server.pairOverRj45("KSIM0001"));

    ASSERT_TRUE(listener.next(2s)) << server.process->output();
    const auto start = Clock::now();
    int count = 0;
    while (Clock::now() - start < 2s) {
        const auto packet = listener.next(500ms);
        ASSERT_TRUE(packet);
        // The packet's layout and checksum are the encoder's tests'.
        ASSERT_EQ(packet->first.size(), studio::freed::kPacketSize);
        EXPECT_EQ(packet->first[1], '\x01') << "the first paired link is camera 1";
        ++count;
    }
    EXPECT_NEAR(count, 100, 10) << "50 packets a second for 2 s";

    EXPECT_EQ(server.post("/v1/bundle/KSIM0001",
                          json::parse(R"({"command":"realTimeMoveFixedDuration","duration":0.5,)"
                                      R"("headPan":20,"headTilt":-5,"slide":0.25})")),
              kOk);
    bool arrived = false;
    const auto deadline = Clock::now() + 5s;
    while (!arrived && Clock::now() < deadline) {
        const auto packet = listener.next(500ms);
        ASSERT_TRUE(packet);
        // Angles in 1/32768 degree, positions in 1/64 mm, 24 bits big-endian.
        arrived = packet->first.substr(studio::freed::kPanOffset, 3) == "\x0A\x00\x00"s &&
                  packet->first.substr(studio::freed::kTiltOffset, 3) == "\xFD\x80\x00"s &&
                  packet->first.substr(studio::freed::kXOffset, 3) == "\x00\x3E\x80"s;
    }
    EXPECT_TRUE(arrived) << "pan 20, tilt -5 and X 250 mm after the move";
    // Feedback goes out while values change, at most 10 a second: the newest pan is the target,
    // 20.0 as a big-endian float behind the padded address and the type tag.
    const std::string target = std::string("/kinetra/KSIM0001/pan\0\0\0,f\0\0\x41\xA0\0\0", 32);
    bool fedBack = false;
    for (const auto until = Clock::now() + 5s; !fedBack && Clock::now() < until;) {
        const auto datagram = feedback.next(500ms);
        fedBack = datagram && datagram->first == target;
    }
    EXPECT_TRUE(fedBack) << "OSC feedback of the head's pan";

    ViscaClient camera(viscaPort, "127.0.0.2");
    // Pan 30 degrees (300 units of 0.1), tilt -4.5 (-45 = FFD3h) at the top speeds.
    std::uint32_t n = 0;
    ASSERT_TRUE(kinetra::testing::waitUntil([&] {
        n = camera.send("81 01 06 02 18 17 00 01 02 0C 0F 0F 0D 03 FF");
        return camera.next(200ms) == ViscaClient::reply(n, "90 41 FF");
    })) << server.process->output();
    EXPECT_EQ(camera.next(5s), ViscaClient::reply(n, "90 51 FF"));
    n = camera.send("81 09 06 12 FF");
    EXPECT_EQ(camera.next(), ViscaClient::reply(n, "90 50 00 01 02 0C 0F 0F 0D 03 FF"));
    EXPECT_EQ(server.post("/v1/bundle/KSIM0001/status")["data"]["readings"]["headPan"], 30.0);

    for (int i = 0; i < 3; ++i) {
        sendOsc(oscPort, "/kinetra/KSIM0001/abort", "");
    }
    const json status =
        server.postUntil("/v1/device", {{"command", "studioStatus"}}, [](const json& s) {
            return s.contains("data") && s["data"]["osc"]["messagesReceived"] == 3;
        });
    EXPECT_GT(status["data"]["freed"]["packetsSent"].get<int>(), 100) << status;
    EXPECT_EQ(status["data"]["freed"]["cameraIds"], (json{{"KSIM0001", 1}})) << status;
    EXPECT_EQ(status["data"]["osc"]["messagesDropped"], 3) << status;
    EXPECT_EQ(status["data"]["osc"]["commandsSent"], 0) << status;
    const json& visca = status["data"]["visca"];
    EXPECT_EQ(visca["ports"], (json{{"KSIM0001", viscaPort}})) << visca;
    EXPECT_EQ(visca["running"], true);
    EXPECT_EQ(visca["panTiltUnitDegrees"], 0.1);
    EXPECT_GE(visca["commandsSent"].get<int>(), 1);
    EXPECT_TRUE(server.process->waitForOutput("dropped a datagram from untrusted 127.0.0.1", 2s));
    server.process->signal(SIGTERM);
    EXPECT_EQ(server.process->waitForExit(10s), std::optional<int>(0));
}

// OSC from a trusted sender drives the bundle it names, here a recording bundle service fed its
// link and status on the bus: an abort, and a stick that is not refreshed is let go.
TEST(OscInput, AbortReachesTheBundleAndAStickNotRefreshedIsLetGo) {
    gateway::test::FakeService bundle("inproc://v1/bundle/KOSC",
                                      [](const std::string&) { return R"({"result":"ok"})"; });
    studio::StudioSettings settings;
    settings.oscAddress = "127.0.0.1";
    settings.oscPort = UdpListener().port();
    settings.trustedNetworks = "127.0.0.0/8";
    studio::StudioService studio(settings);
    auto feed = bus::makeFeedPublisher(*bus::SocketRegistry::instance().context());

    sendOsc(settings.oscPort, "/kinetra/KOSC/abort", "");
    EXPECT_EQ(bundle.requests.waitFor(1), std::vector<std::string>{R"({"command":"motionAbort"})"});
    // The studio maps a stick onto the axes it has read from the bundle's status; until that has
    // reached it (the feed's subscription takes a moment) the stick does nothing, so the link and
    // its status are published again, as the services keep doing, and the stick sent again.
    auto sent = Clock::now();
    bool jogged = false;
    for (const auto deadline = sent + 5s; !jogged && Clock::now() < deadline;) {
        bus::publish(feed, bus::kLinksTopic,
                     R"([{"linkID":"KOSC","isValid":true,"isPairingDone":true}])");
        bus::publish(feed, bus::statusTopic("KOSC"),
                     R"({"supportedAxes":[{"axis":"headPan","device":"x"},)"
                     R"({"axis":"headTilt","device":"x"}]})");
        sent = Clock::now();
        sendOsc(settings.oscPort, "/kinetra/KOSC/joystick", "fff", 0.5F, 0, 0);
        jogged = bundle.requests.waitFor(2, 100ms).size() == 2;
    }
    ASSERT_TRUE(jogged);
    EXPECT_EQ(bundle.requests.waitFor().at(1),
              R"({"command":"joystickMove","headPan":0.5,"headTilt":0.0})");
    // The server's own release: the head's stick at pan 0, tilt 0.
    ASSERT_TRUE(kinetra::testing::waitUntil([&] {
        return bundle.requests.waitFor().back() ==
               R"({"command":"joystickMove","headPan":0.0,"headTilt":0.0})";
    }));
    const auto released = Clock::now() - sent;
    EXPECT_GE(released, 450ms);
    EXPECT_LE(released, 1500ms);
}

}  // namespace
}  // namespace kinetra
