// One VISCA camera's rules with the time, the bundle's status and the bus in the test's hands:
// sequence numbers and RESET, ACK and Completion from the status, a newer command cancelling
// the wait, the drive's keep-alive and timeout, the per-controller rate.
#include <deque>

#include <gtest/gtest.h>

#include "studio/visca_camera.hpp"
#include "support/hex.hpp"

namespace kinetra::studio::visca {
namespace {

using namespace std::chrono_literals;
using kinetra::testing::bytes;
using kinetra::testing::hex;
using Endpoint = ViscaCamera::Endpoint;

const Endpoint kA(asio::ip::make_address("127.0.0.1"), 5000);
const Endpoint kB(asio::ip::make_address("127.0.0.1"), 5001);
const Endpoint kC(asio::ip::make_address("127.0.0.1"), 5002);
constexpr const char* kHome = "81 01 06 04 FF";
constexpr const char* kPositionInquiry = "81 09 06 12 FF";
constexpr const char* kDriveRight = "81 01 06 01 0C 0C 02 03 FF";

class CameraRig {
public:
    CameraRig() {
        view->axes = {0x03, 0x03};
        view->readings[0] = 0.0;
        view->readings[1] = 0.0;
        view->state = "idle";
        view->statusAt = t0;
    }

    // A datagram of `type` with `sequence` and the message `payload`, `at` ms after t0.
    void take(const Endpoint& from, std::uint32_t sequence, const char* payload, int at = 0,
              std::uint16_t type = kCommand) {
        camera.take(datagram(type, sequence, bytes(payload)), from,
                    t0 + std::chrono::milliseconds(at));
    }
    // The replies sent since the last call, as "port: hex" lines.
    std::vector<std::string> replies() { return std::exchange(replies_, {}); }
    std::vector<std::string> sent() { return std::exchange(sent_, {}); }
    // A status at `at` ms showing `state`.
    void status(int at, const char* state) {
        view->state = state;
        view->statusAt = t0 + std::chrono::milliseconds(at);
        camera.statusArrived(view->statusAt);
    }

    const SteadyTime t0 = SteadyTime{} + 1h;
    std::optional<LinkView> view = LinkView{};
    ViscaCamera::Sent result = ViscaCamera::Sent::ok;
    ViscaCounters counters;

private:
    ViscaSettings settings_;
    std::vector<std::string> replies_;
    std::vector<std::string> sent_;

public:
    ViscaCamera camera{
        "L", settings_,
        ViscaCamera::Hooks{[this](const BundleCommand& c, bool stop) {
                               sent_.push_back((stop ? "stop " : "") + c.request.dump());
                               return result;
                           },
                           [this](const Endpoint& to, const Bytes& d) {
                               replies_.push_back(std::to_string(to.port()) + ": " + hex(d));
                           },
                           [this] { return view; },
                           [](std::string_view, const std::string&, bool) {}},
        counters};
};

TEST(ViscaCamera, SequenceNumbersRepeatedOrBehindAreRefusedUntilReset) {
    CameraRig rig;
    rig.take(kA, 5, kHome);
    EXPECT_EQ(rig.replies(), std::vector<std::string>{"5000: 01 11 00 03 00 00 00 05 90 41 FF"});
    EXPECT_EQ(rig.sent().size(), 1U);
    rig.take(kA, 5, kHome);  // resent: not done twice
    rig.take(kA, 4, kPositionInquiry);
    EXPECT_EQ(rig.replies(), (std::vector<std::string>{"5000: 02 01 00 02 00 00 00 05 0F 01",
                                                       "5000: 02 01 00 02 00 00 00 04 0F 01"}));
    EXPECT_TRUE(rig.sent().empty());
    // An inquiry resent is answered again; another controller counts for itself.
    rig.take(kA, 9, kPositionInquiry);
    rig.take(kA, 9, kPositionInquiry);
    rig.take(kB, 1, kPositionInquiry);
    EXPECT_EQ(rig.replies(),
              std::vector<std::string>(
                  {"5000: 01 11 00 0B 00 00 00 09 90 50 00 00 00 00 00 00 00 00 FF",
                   "5000: 01 11 00 0B 00 00 00 09 90 50 00 00 00 00 00 00 00 00 FF",
                   "5001: 01 11 00 0B 00 00 00 01 90 50 00 00 00 00 00 00 00 00 FF"}));
    // RESET lets the controller start again at 0; one that never counts sends 0 every time.
    rig.take(kA, 0, "01", 0, kControl);
    rig.take(kA, 0, kPositionInquiry);
    rig.take(kA, 0, kHome);
    EXPECT_EQ(rig.replies()[0], "5000: 02 01 00 01 00 00 00 00 01");
    EXPECT_EQ(rig.sent().size(), 1U);
    // Sequence numbers wrap around.
    rig.take(kC, 0xFFFFFFFF, kPositionInquiry);
    rig.take(kC, 0, kHome);
    EXPECT_EQ(rig.replies().back(), "5002: 01 11 00 03 00 00 00 00 90 41 FF");
    EXPECT_EQ(rig.counters.refused, 2U);
}

TEST(ViscaCamera, AMoveCompletesWhenTheStatusShowsItEndedAndANewerOneCancelsTheWait) {
    CameraRig rig;
    rig.take(kA, 1, kHome);
    rig.replies();
    rig.status(-5, "realTimeMove");  // older than the command: says nothing of it
    rig.status(40, "idle");          // not yet moving
    rig.status(60, "realTimeMove");
    EXPECT_TRUE(rig.replies().empty());
    rig.status(160, "idle");
    EXPECT_EQ(rig.replies(), std::vector<std::string>{"5000: 01 11 00 03 00 00 00 01 90 51 FF"});
    EXPECT_FALSE(rig.camera.awaitsStatus());

    rig.take(kA, 2, kHome, 200);
    rig.take(kB, 1, "81 01 06 02 18 17 00 00 00 00 00 00 00 00 FF", 220);
    EXPECT_EQ(rig.replies(), (std::vector<std::string>{"5000: 01 11 00 03 00 00 00 02 90 41 FF",
                                                       "5000: 01 11 00 04 00 00 00 02 90 61 04 FF",
                                                       "5001: 01 11 00 03 00 00 00 01 90 41 FF"}));
    // A move already at its target that never shows moving is done once its time is up; one
    // that shows nothing at all is not executable.
    rig.status(400, "idle");
    EXPECT_EQ(rig.replies(), std::vector<std::string>{"5001: 01 11 00 03 00 00 00 01 90 51 FF"});
    rig.view->readings[0] = 12.0;  // 12 degrees at half speed: 267 ms
    rig.take(kA, 3, kHome, 500);
    rig.replies();
    rig.camera.tick(rig.t0 + 500ms + 266ms + kStartPatience);
    EXPECT_TRUE(rig.replies().empty());
    rig.camera.tick(rig.t0 + 500ms + 267ms + kStartPatience);
    EXPECT_EQ(rig.replies(), std::vector<std::string>{"5000: 01 11 00 04 00 00 00 03 90 61 41 FF"});
}

TEST(ViscaCamera, ADriveIsKeptAliveUntilItsControllerFallsSilentThenStopped) {
    CameraRig rig;
    rig.take(kA, 1, kDriveRight);
    EXPECT_EQ(rig.replies(), (std::vector<std::string>{"5000: 01 11 00 03 00 00 00 01 90 41 FF",
                                                       "5000: 01 11 00 03 00 00 00 01 90 51 FF"}));
    const std::string stick = R"({"command":"joystickMove","headPan":0.5,"headTilt":0.0})";
    EXPECT_EQ(rig.sent(), std::vector<std::string>{stick});
    rig.take(kA, 2, kDriveRight, 100);  // held: the keep-alive carries it
    EXPECT_TRUE(rig.sent().empty());
    EXPECT_EQ(rig.camera.nextDeadline(rig.t0 + 100ms), rig.t0 + kDriveRepeat);
    for (int at = 200; at <= 1000; at += 200) {
        rig.camera.tick(rig.t0 + std::chrono::milliseconds(at));
    }
    EXPECT_EQ(rig.sent().size(), 5U);
    rig.take(kB, 1, kPositionInquiry, 900);  // another controller does not keep it alive
    rig.camera.tick(rig.t0 + 1099ms);
    EXPECT_TRUE(rig.sent().empty());
    rig.camera.tick(rig.t0 + 1100ms);  // 1 s after its controller's last message
    EXPECT_EQ(rig.sent(), std::vector<std::string>{
                              R"(stop {"command":"joystickMove","headPan":0.0,"headTilt":0.0})"});
    EXPECT_FALSE(rig.camera.nextDeadline(rig.t0 + 1100ms));
    // A stop from the controller is a stop too, and is sent even when the rate is spent.
    rig.replies();
    for (std::uint32_t i = 0; i < 30; ++i) {
        rig.take(kA, 10 + i, kDriveRight, 1200);
    }
    rig.take(kA, 40, "81 01 06 01 00 00 03 03 FF", 1200);
    const auto replies = rig.replies();
    EXPECT_EQ(replies.at(2 * 25), "5000: 01 11 00 04 00 00 00 23 90 60 03 FF");  // the 26th
    EXPECT_EQ(replies.back(), "5000: 01 11 00 03 00 00 00 28 90 51 FF");
    EXPECT_EQ(rig.sent().back(), R"(stop {"command":"joystickMove","headPan":0.0,"headTilt":0.0})");
    EXPECT_EQ(rig.counters.refused, 5U);
}

TEST(ViscaCamera, ABundleThatIsNotThereOrBusyIsAnsweredWithAnError) {
    CameraRig rig;
    rig.result = ViscaCamera::Sent::closed;
    rig.take(kA, 1, kHome);
    rig.result = ViscaCamera::Sent::busy;
    rig.take(kA, 2, kHome);
    rig.view.reset();
    rig.take(kA, 3, kDriveRight);
    rig.take(kA, 4, kPositionInquiry);
    rig.take(kA, 5, "81 01 04 07 02 FF");
    rig.take(kA, 6, "81 01 06 01 FF");
    EXPECT_EQ(rig.replies(),
              (std::vector<std::string>{"5000: 01 11 00 04 00 00 00 01 90 61 41 FF",
                                        "5000: 01 11 00 04 00 00 00 02 90 60 03 FF",
                                        "5000: 01 11 00 04 00 00 00 03 90 61 41 FF",
                                        "5000: 01 11 00 04 00 00 00 04 90 60 41 FF",
                                        "5000: 01 11 00 04 00 00 00 05 90 61 41 FF",
                                        "5000: 01 11 00 04 00 00 00 06 90 60 02 FF"}));
    EXPECT_EQ(rig.counters.errors, 6U);
}

}  // namespace
}  // namespace kinetra::studio::visca
