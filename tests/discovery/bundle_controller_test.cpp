// The device service with emulated link modules announced to it as its scanner would: the link
// list through found, lost and found again, handler creation failures, a link that moves to
// another port, and the requests it refuses.
#include <gtest/gtest.h>

#include "bus/endpoints.hpp"
#include "bus/socket_registry.hpp"
#include "bus/wait.hpp"
#include "config/configuration_controller.hpp"
#include "discovery/bundle_controller.hpp"
#include "gateway/gateway_test_support.hpp"
#include "sim/emulated_link.hpp"
#include "sim/registration.hpp"
#include "support/log_capture.hpp"
#include "support/recording_notifications.hpp"
#include "support/temporary_tree.hpp"

namespace kinetra::discovery {
namespace {

using namespace std::chrono_literals;
using gateway::test::waitUntil;

constexpr const char* kConfiguration = "inproc://test/configuration";

sim::LinkConfig emulatedLink(const std::string& linkId) {
    sim::LinkConfig config;
    config.linkID = linkId;
    return config;
}

link::LinkTimings fastLink() {
    link::LinkTimings timings;
    timings.pollerPause = 50ms;
    return timings;
}

class BundleControllerTest : public ::testing::Test {
protected:
    void SetUp() override { start(fastLink()); }

    void start(link::LinkTimings timings) {
        ControllerOptions options;
        options.listPorts = [] { return std::optional(std::vector<serial::PortListing>{}); };
        options.linkTimings = timings;
        options.dfuToolPath = (tree_.root() / "firmware/dfu-util").string();
        options.dfuWorkingDirectory = (tree_.root() / "firmware").string();
        controller_ = std::make_unique<BundleController>(kConfiguration, options);
    }

    std::string ask(const json& request) {
        zmq::socket_t socket(*context_, zmq::socket_type::req);
        socket.set(zmq::sockopt::linger, 0);
        socket.set(zmq::sockopt::sndtimeo, 10000);
        socket.connect(std::string(bus::kDeviceEndpoint));
        if (!socket.send(zmq::buffer(core::dumpCompact(request)), zmq::send_flags::none)) {
            return "<not sent>";
        }
        const auto reply = bus::receiveWithin(socket, 10s);
        return reply ? std::string(reply->to_string_view()) : "<no reply>";
    }
    json linkStatus() { return json::parse(ask({{"command", "linkStatus"}})); }

    /// The link list once every valid link knows its status (each is listed only then).
    json settledLinkStatus(std::size_t links) {
        json status;
        waitUntil([&] {
            status = linkStatus();
            return status["data"].size() == links;
        });
        return status;
    }

    long newDeviceNotifications() const {
        const auto texts = notifications_->texts();
        return std::count(texts.begin(), texts.end(), "New Device found:  | KSIMFOUND01");
    }

    static bool bundleOpen(const std::string& linkId) {
        return bus::SocketRegistry::instance().isOpen(bus::bundleEndpoint(linkId));
    }

    testing::ScopedRecordingBackend notifications_;
    testing::TemporaryTree tree_;
    config::ConfigurationController configuration_{tree_.root().string() + "/cfg/", kConfiguration};
    std::shared_ptr<zmq::context_t> context_ = bus::SocketRegistry::instance().context();
    std::unique_ptr<BundleController> controller_;
};

TEST_F(BundleControllerTest, AnswersWhatItDoesNotKnowAndKeepsServing) {
    EXPECT_EQ(ask({{"command", "linkStatus"}}), R"({"data":[],"result":"ok"})");
    EXPECT_EQ(ask({{"command", "reboot"}}), R"({"result":"Command Not Found"})");
    EXPECT_EQ(ask(json::object()), "{}");
    EXPECT_EQ(ask({{"command", "device_found"}, {"linkID", "X"}}), "{}");  // incomplete record
    EXPECT_EQ(ask({{"command", "linkDeviceFirmwareUpdateStatus"}}),
              R"({"result":"ok","status":"none"})");
    EXPECT_EQ(ask({{"command", "linkStatus"}}), R"({"data":[],"result":"ok"})");
}

TEST_F(BundleControllerTest, ALinkIsListedThroughFoundLostAndFoundAgain) {
    sim::EmulatedLink emulator(emulatedLink("KSIMFOUND01"));
    const auto found = sim::deviceFoundRequest(emulator.config(), emulator.path());
    EXPECT_EQ(ask(found), "{}");
    ASSERT_TRUE(waitUntil([] { return bundleOpen("KSIMFOUND01"); }));
    json status = settledLinkStatus(1);
    EXPECT_EQ(status["data"][0]["linkID"], "KSIMFOUND01");
    EXPECT_EQ(status["data"][0]["isValid"], true);
    EXPECT_EQ(status["data"][0]["portName"], emulator.path());

    ask(found);  // known and present: no second handler, no second notification
    EXPECT_EQ(newDeviceNotifications(), 1);

    ask(sim::deviceDisconnectedRequest(emulator.config(), emulator.path()));
    ASSERT_TRUE(waitUntil([] { return !bundleOpen("KSIMFOUND01"); }));
    status = linkStatus();
    ASSERT_EQ(status["data"].size(), 1U);
    EXPECT_EQ(status["data"][0]["isValid"], false);

    // Back again: a new handler on the same names, and the link lists as valid.
    ask(found);
    ASSERT_TRUE(waitUntil([] { return bundleOpen("KSIMFOUND01"); }));
    json again;
    ASSERT_TRUE(waitUntil([&] {
        again = linkStatus();
        return again["data"].size() == 1 && again["data"][0]["isValid"] == true;
    }));
    EXPECT_EQ(newDeviceNotifications(), 1);
}

// With the link's real 2 s poller pause there is a moment when the link does not know its
// status yet: it is left out of the list rather than listed with empty content.
class SlowPollerTest : public BundleControllerTest {
protected:
    void SetUp() override { start(link::LinkTimings{}); }
};

TEST_F(SlowPollerTest, ALinkIsLeftOutWhileItsStatusIsUnknown) {
    sim::EmulatedLink emulator(emulatedLink("KSIMSLOW01"));
    ask(sim::deviceFoundRequest(emulator.config(), emulator.path()));
    ASSERT_TRUE(waitUntil([] { return bundleOpen("KSIMSLOW01"); }));
    EXPECT_EQ(ask({{"command", "linkStatus"}}), R"({"data":[],"result":"ok"})");
    EXPECT_EQ(settledLinkStatus(1)["data"][0]["linkID"], "KSIMSLOW01");
}

TEST_F(BundleControllerTest, ALinkWhosePortCannotBeOpenedIsListedInvalid) {
    sim::LinkConfig config = emulatedLink("KSIMNOPORT01");
    EXPECT_EQ(ask(sim::deviceFoundRequest(config, "/dev/kinetra-no-such-port")), "{}");
    const json status = linkStatus();
    ASSERT_EQ(status["data"].size(), 1U);
    EXPECT_EQ(status["data"][0]["isValid"], false);
    EXPECT_FALSE(bundleOpen("KSIMNOPORT01"));
}

// A module moved to another port: its old line ends, then the scanner reports it found on the
// new port and lost on the old one in the same pass. The link follows it and stays up. Before
// the old line ends, a device_found naming another port (a page posting it, say) moves nothing.
TEST_F(BundleControllerTest, ALinkFollowsAMoveOnlyOnceItsOldLineHasEnded) {
    testing::LogCapture logs;
    auto before = std::make_unique<sim::EmulatedLink>(emulatedLink("KSIMMOVE01"));
    sim::EmulatedLink after(emulatedLink("KSIMMOVE01"));
    const auto beforePath = before->path();
    ask(sim::deviceFoundRequest(before->config(), beforePath));
    ASSERT_TRUE(before->waitForCommand(link::AdapterCommand::linkVersions, std::nullopt, 5s));

    EXPECT_EQ(ask(sim::deviceFoundRequest(after.config(), after.path())),
              R"({"result":"link is connected on another port"})");
    EXPECT_EQ(settledLinkStatus(1)["data"][0]["portName"], beforePath);
    EXPECT_FALSE(after.waitForCommand(link::AdapterCommand::linkVersions, std::nullopt, 300ms));

    before.reset();  // unplugged
    ASSERT_TRUE(
        waitUntil([&] { return logs.has("warning: Link id: KSIMMOVE01 serial line closed."); }));
    EXPECT_EQ(ask(sim::deviceFoundRequest(after.config(), after.path())), "{}");
    ask(sim::deviceDisconnectedRequest(after.config(), beforePath));
    EXPECT_TRUE(after.waitForCommand(link::AdapterCommand::linkVersions, std::nullopt, 5s));
    const json status = settledLinkStatus(1);
    EXPECT_EQ(status["data"][0]["portName"], after.path());
    EXPECT_EQ(status["data"][0]["isValid"], true);
    EXPECT_TRUE(bundleOpen("KSIMMOVE01"));

    // Lost on the port it is on now: down.
    ask(sim::deviceDisconnectedRequest(after.config(), after.path()));
    EXPECT_TRUE(waitUntil([] { return !bundleOpen("KSIMMOVE01"); }));
}

// Only a serial line is opened: a file, a folder or another kind of device is refused with
// nothing listed or opened; a port that has gone since the scan is listed invalid as before.
TEST_F(BundleControllerTest, DeviceFoundOpensOnlyTerminalDevices) {
    tree_.write("notes.txt", "keep");
    const std::string notATerminal = R"({"result":"portName is not a terminal device"})";
    for (const std::string& port :
         {(tree_.root() / "notes.txt").string(), tree_.root().string(), std::string("/dev/null")}) {
        EXPECT_EQ(ask(sim::deviceFoundRequest(emulatedLink("KSIMFILE01"), port)), notATerminal)
            << port;
    }
    EXPECT_EQ(linkStatus()["data"].size(), 0U);
    EXPECT_EQ(tree_.read("notes.txt"), "keep");
}

TEST_F(BundleControllerTest, DestroyingTheControllerTakesDownEveryLink) {
    sim::EmulatedLink first(emulatedLink("KSIMDOWN01"));
    sim::EmulatedLink second(emulatedLink("KSIMDOWN02"));
    ask(sim::deviceFoundRequest(first.config(), first.path()));
    ask(sim::deviceFoundRequest(second.config(), second.path()));
    ask(sim::deviceDisconnectedRequest(first.config(), first.path()));  // one teardown pending
    controller_.reset();
    EXPECT_TRUE(waitUntil([] { return !bundleOpen("KSIMDOWN02"); }));
    EXPECT_FALSE(bus::SocketRegistry::instance().isOpen(std::string(bus::kDeviceEndpoint)));
}

}  // namespace
}  // namespace kinetra::discovery
