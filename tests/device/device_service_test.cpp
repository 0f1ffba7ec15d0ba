// The device service with emulated link modules announced as its scanner would: the link list
// through found, lost and found again, a link moving ports, refusals, and the stop for all; and,
// with a whole server around it, a fault thrown inside each kind of loop survived.
#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <mutex>

#include "bus/endpoints.hpp"
#include "bus/feed.hpp"
#include "bus/service_loop.hpp"
#include "bus/socket_registry.hpp"
#include "bus/wait.hpp"
#include "config/configuration_controller.hpp"
#include "device/abort_all.hpp"
#include "device/device_service.hpp"
#include "gateway/gateway_test_support.hpp"
#include "gateway/server.hpp"
#include "net/udp_listener.hpp"
#include "notify/notification_handler.hpp"
#include "platform/service_thread.hpp"
#include "sim/emulated_link.hpp"
#include "sim/pseudo_terminal.hpp"
#include "sim/registration.hpp"
#include "studio/studio_service.hpp"
#include "studio/visca_client.hpp"
#include "support/recording_notifications.hpp"
#include "support/temporary_tree.hpp"

namespace kinetra::device {
namespace {

using namespace std::chrono_literals;
using gateway::test::LogCapture;
using gateway::test::waitUntil;

constexpr const char* kConfiguration = "inproc://test/configuration";

sim::LinkConfig emulatedLink(const std::string& linkId) {
    sim::LinkConfig config;
    config.linkID = linkId;
    config.timings.pairingTime = 100ms;
    config.timings.statusInterval = 20ms;
    return config;
}

class DeviceServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        DeviceServiceOptions options;
        options.listPorts = [] { return std::optional(std::vector<serial::PortListing>{}); };
        options.linkTimings.pollerPause = 50ms;
        options.dfuToolPath = (tree_.root() / "firmware/dfu-util").string();
        options.dfuWorkingDirectory = (tree_.root() / "firmware").string();
        service_ = std::make_unique<DeviceService>(kConfiguration, options);
    }

    std::string ask(const json& request,
                    const std::string& endpoint = std::string(bus::kDeviceEndpoint)) {
        auto socket = bus::makeRequestSocket(*context_, endpoint, {.sendTimeout = 10s});
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
        return std::ranges::count(notifications_->texts(), "New Device found:  | KSIMFOUND01");
    }

    /// Pairs the link over RJ45 as a client does, once the link knows its adapter, and waits
    /// for the bundle's first status. The services have no event a client can await.
    bool pairOverRj45(const std::string& linkId) {
        const auto link = bus::linkEndpoint(linkId);
        return waitUntil([&] {
                   return ask({{"command", "status"}}, link).starts_with("{");
               }) &&
               ask({{"command", "link1PairingConnect"}}, link) == R"({"result":"ok"})" &&
               waitUntil([&] {
                   const auto status = json::parse(ask({}, bus::bundleStatusEndpoint(linkId)));
                   return status["data"].is_object();
               });
    }

    static bool bundleOpen(const std::string& linkId) {
        return bus::SocketRegistry::instance().isOpen(bus::bundleEndpoint(linkId));
    }

    testing::ScopedRecordingBackend notifications_;
    testing::TemporaryTree tree_;
    config::ConfigurationController configuration_{tree_.root().string() + "/cfg/", kConfiguration};
    std::shared_ptr<zmq::context_t> context_ = bus::SocketRegistry::instance().context();
    std::unique_ptr<DeviceService> service_;
};

// The "links" body published after each change, up to the first that `accept` takes.
std::optional<json> awaitLinks(zmq::socket_t& feed,
                               const std::function<bool(const json&)>& accept) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    const std::array<zmq::socket_ref, 1> sockets{feed};
    while (std::chrono::steady_clock::now() < deadline) {
        if (!bus::waitReadable(sockets, 100ms)) {
            continue;
        }
        while (const auto message = bus::tryReceiveFeed(feed)) {
            const json links = json::parse(message->body);
            if (message->topic == bus::kLinksTopic && accept(links)) {
                return links;
            }
        }
    }
    return std::nullopt;
}

// Found, found again (no second handler or notification), busy, lost and found once more: each
// change of the list is published with the very data linkStatus answers. A link whose adapter
// has gone silent keeps its service busy with each command: the list is answered meanwhile,
// from the link's last report.
TEST_F(DeviceServiceTest, ALinkIsListedThroughFoundLostAndFoundAgainWhilePublished) {
    auto feed = bus::makeFeedSubscriber(*context_);
    feed.set(zmq::sockopt::subscribe, bus::kLinksTopic);
    sim::EmulatedLink emulator(emulatedLink("KSIMFOUND01"));
    const auto found = sim::deviceFoundRequest(emulator.config(), emulator.path());
    EXPECT_EQ(ask(found), "{}");
    // The link is left out of the list while its status is still unknown.
    const auto listedAs = [](bool valid) {
        return [valid](const json& links) {
            return links.size() == 1 && links[0].at("isValid") == valid;
        };
    };
    const auto listed = awaitLinks(feed, listedAs(true));
    ASSERT_TRUE(listed);
    EXPECT_EQ((*listed)[0]["portName"], emulator.path());
    EXPECT_EQ(*listed, linkStatus()["data"]);
    EXPECT_TRUE(bundleOpen("KSIMFOUND01"));
    ask(found);  // known and present: no second handler, no second notification
    EXPECT_EQ(newDeviceNotifications(), 1);

    emulator.updateFaults([](sim::Faults& faults) { faults.silent = true; });
    zmq::socket_t busy(*context_, zmq::socket_type::req);
    busy.set(zmq::sockopt::linger, 0);
    busy.connect(bus::linkEndpoint("KSIMFOUND01"));
    const auto before = emulator.receivedCount();
    ASSERT_TRUE(bus::trySend(busy, R"({"command":"wirelessPairingScanStart"})"));
    ASSERT_TRUE(emulator.waitFor(
        [&](const sim::EmulatedLink::View& view) { return view.received.size() > before; }, 5s));
    EXPECT_EQ(linkStatus()["data"], *listed);
    EXPECT_FALSE(bus::tryReceive(busy)) << "the link was still busy when the list was answered";
    EXPECT_TRUE(bus::receiveWithin(busy, 10s)) << "the link did answer in the end";
    emulator.updateFaults([](sim::Faults& faults) { faults.silent = false; });

    ask(sim::deviceDisconnectedRequest(emulator.config(), emulator.path()));
    const auto lost = awaitLinks(feed, listedAs(false));
    ASSERT_TRUE(lost);
    EXPECT_EQ(*lost, linkStatus()["data"]);
    ASSERT_TRUE(waitUntil([] { return !bundleOpen("KSIMFOUND01"); }));

    // Back again: a new handler on the same names, and the link lists as valid.
    ask(found);
    ASSERT_TRUE(awaitLinks(feed, listedAs(true)));
    EXPECT_TRUE(waitUntil([] { return bundleOpen("KSIMFOUND01"); }));
    EXPECT_EQ(newDeviceNotifications(), 1);
}

TEST_F(DeviceServiceTest, ALinkFollowsAMoveOnlyOnceItsOldLineHasEnded) {
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
    // Once the link has seen its old line end, the same request moves it.
    std::string moved;
    ASSERT_TRUE(waitUntil([&] {
        moved = ask(sim::deviceFoundRequest(after.config(), after.path()));
        return moved != R"({"result":"link is connected on another port"})";
    }));
    EXPECT_EQ(moved, "{}");
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

// What it does not know is answered and it goes on serving. Only a serial line is opened: a
// file, a folder or another kind of device is refused with nothing listed or opened; a port that
// has gone since the scan is listed invalid.
TEST_F(DeviceServiceTest, AnswersWhatItDoesNotKnowAndOpensOnlyTerminalDevices) {
    EXPECT_EQ(ask({{"command", "reboot"}}), R"({"result":"Command Not Found"})");
    EXPECT_EQ(ask(json::object()), "{}");
    EXPECT_EQ(ask({{"command", "device_found"}, {"linkID", "X"}}), "{}");  // incomplete record
    EXPECT_EQ(ask({{"command", "linkDeviceFirmwareUpdateStatus"}}),
              R"({"result":"ok","status":"none"})");
    tree_.write("notes.txt", "keep");
    const std::string notATerminal = R"({"result":"portName is not a terminal device"})";
    for (const std::string& port :
         {(tree_.root() / "notes.txt").string(), tree_.root().string(), std::string("/dev/null")}) {
        EXPECT_EQ(ask(sim::deviceFoundRequest(emulatedLink("KSIMFILE01"), port)), notATerminal)
            << port;
    }
    EXPECT_EQ(ask({{"command", "linkStatus"}}), R"({"data":[],"result":"ok"})");
    EXPECT_EQ(tree_.read("notes.txt"), "keep");

    EXPECT_EQ(ask(sim::deviceFoundRequest(emulatedLink("KSIMNOPORT01"), "/dev/kinetra-no-port")),
              "{}");
    const json status = linkStatus();
    ASSERT_EQ(status["data"].size(), 1U);
    EXPECT_EQ(status["data"][0]["isValid"], false);
    EXPECT_FALSE(bundleOpen("KSIMNOPORT01"));
}

// One port carries one link, under any of its names; the list holds at most 64 links, a new one
// taking the place of the oldest that has gone, so requests for ports that cannot be opened
// leave nothing that grows.
TEST_F(DeviceServiceTest, OnePortCarriesOneLinkAndTheListHoldsAtMost64) {
    sim::EmulatedLink held(emulatedLink("KSIMHELD01"));
    ask(sim::deviceFoundRequest(held.config(), held.path()));
    std::filesystem::create_symlink(held.path(), tree_.root() / "alias");
    for (const auto& port : {held.path(), (tree_.root() / "alias").string()}) {
        EXPECT_EQ(ask(sim::deviceFoundRequest(emulatedLink("KSIMHELD02"), port)),
                  R"({"result":"port is held by another link"})");
    }
    EXPECT_FALSE(bundleOpen("KSIMHELD02"));
    ASSERT_TRUE(pairOverRj45("KSIMHELD01"));  // its frames are its own

    const auto found = [&](const std::string& linkId, const std::string& port) {
        return ask(sim::deviceFoundRequest(emulatedLink(linkId), port));
    };
    for (int i = 0; i < 100; ++i) {
        found("KSIMGONE" + std::to_string(i), "/dev/kinetra-no-port");
    }
    EXPECT_EQ(linkStatus()["data"].size(), 64U);
    std::vector<std::unique_ptr<sim::PseudoTerminal>> ports;
    for (int i = 0; i < 64; ++i) {
        ports.push_back(std::make_unique<sim::PseudoTerminal>());
        const auto reply = found("KSIMLIVE" + std::to_string(i), ports.back()->slavePath());
        EXPECT_EQ(reply, i < 63 ? "{}" : R"({"result":"too many links"})") << i;
    }
    const json listed =
        linkStatus();  // held: a loop over a member of a temporary reads freed memory
    for (const auto& link : listed["data"]) {
        EXPECT_EQ(link["isValid"], true) << link << ": the gone ones made room";
    }
    ask(sim::deviceDisconnectedRequest(held.config(), held.path()));
    EXPECT_EQ(found("KSIMLIVE63", ports.back()->slavePath()), "{}");
}

// One stop for everything: a paired link gets its abort on the line and its reply in the
// answer; an unpaired one is named and gets nothing; a link whose line has ended is dropped as an
// unplugged one is, though no scanner reports it (listed invalid within two seconds, its bundle
// gone), and left out. The service takes every link down with it, one whose teardown is pending
// too.
TEST_F(DeviceServiceTest, MotionAbortAllReachesThePairedLinksNamesTheOthersAndSkipsEndedOnes) {
    sim::EmulatedLink paired(emulatedLink("KSIMSTOP01"));
    sim::EmulatedLink unpaired(emulatedLink("KSIMSTOP02"));
    sim::EmulatedLink gone(emulatedLink("KSIMEND01"));
    for (auto* link : {&gone, &paired, &unpaired}) {
        ask(sim::deviceFoundRequest(link->config(), link->path()));
    }
    ASSERT_TRUE(pairOverRj45("KSIMSTOP01"));
    ASSERT_TRUE(pairOverRj45("KSIMEND01"));
    gone.disappear();
    EXPECT_TRUE(waitUntil([&] { return !bundleOpen("KSIMEND01"); }, 2s));
    EXPECT_EQ(settledLinkStatus(3)["data"][0]["isValid"], false);
    EXPECT_EQ(json::parse(ask({{"command", "motionAbortAll"}})),
              json::parse(R"({"data":[{"linkID":"KSIMSTOP01","result":"ok"},
                                      {"linkID":"KSIMSTOP02",
                                       "result":"Pairing is not completed."}],
                              "result":"ok"})"));
    EXPECT_TRUE(paired.waitForDeviceMessage(0x09, 5s));  // the head's abort
    for (const auto& received : unpaired.received()) {
        EXPECT_NE(received.kind, sim::ReceivedKind::deviceMessage) << "nothing to an unpaired link";
    }
    ask(sim::deviceDisconnectedRequest(unpaired.config(), unpaired.path()));
    service_.reset();
    EXPECT_TRUE(waitUntil([] { return !bundleOpen("KSIMSTOP01"); }));
    EXPECT_FALSE(bus::SocketRegistry::instance().isOpen(std::string(bus::kDeviceEndpoint)));
}

// The gateway (one worker loop, net-1) and the studio inputs around the device service.
class ThreadFaults : public DeviceServiceTest {
protected:
    // Made before SetUp starts the threads: a sink added while they log would race them.
    const LogCapture logs_;
    void SetUp() override {
        DeviceServiceTest::SetUp();
        platform::setServiceEndNotice([](const std::string& text) { notify::notify(text); });
        server_.start(1);
        studio::StudioSettings studio;
        studio.oscAddress = studio.visca.address = "127.0.0.1";
        studio.oscPort = oscPort_;
        studio.visca.ports = {{"KFAULTA", viscaPort_}};
        studio_ = std::make_unique<studio::StudioService>(studio);
    }
    void TearDown() override { platform::setServiceEndNotice({}); }

    json post(const std::string& path, const json& body) {
        const auto reply = sim::postJson("127.0.0.1", server_.httpPort(), path, body.dump(), 5s);
        return reply ? json::parse(*reply, nullptr, false) : json();
    }
    bool listed(const std::string& linkId, bool valid) {
        auto status = post("/v1/device", {{"command", "linkStatus"}});
        return status.is_object() && status["data"].is_array() &&
               std::ranges::any_of(status["data"], [&](const json& link) {
                   return link.value("linkID", "") == linkId &&
                          link.value("isValid", !valid) == valid;
               });
    }

    gateway::Server server_{gateway::test::kLoopback};
    std::uint16_t oscPort_ = net::test::UdpListener().port();
    std::uint16_t viscaPort_ = net::test::UdpListener().port();
    std::unique_ptr<studio::StudioService> studio_;
};

// Each row throws once inside one loop, wakes it and waits for its log line; after each the link
// list and a bundle command are still answered over HTTP. A link whose reader or service failed
// is taken down (the user told), the others go on. A sender failing with a command in hand
// answers that command first; a receiver (and the configuration service) answers again after
// its pause.
TEST_F(ThreadFaults, EveryKindOfLoopSurvivesAThrowAndTheServerKeepsAnswering) {
    const LogCapture& log = logs_;
    std::vector<std::unique_ptr<sim::EmulatedLink>> links;
    for (const auto* id : {"KFAULTA", "KFAULTB", "KFAULTC"}) {
        links.push_back(std::make_unique<sim::EmulatedLink>(emulatedLink(id)));
        post("/v1/device", sim::deviceFoundRequest(links.back()->config(), links.back()->path()));
        ASSERT_TRUE(waitUntil([&] { return listed(id, true); })) << id;
    }
    studio::test::ViscaClient visca(viscaPort_);
    using Wake = std::function<json()>;
    const Wake linkStatus = [&] { return post("/v1/device", {{"command", "linkStatus"}}); };
    const Wake command = [&] { return post("/v1/bundle/KFAULTA", {{"command", "motionAbort"}}); };
    const Wake status = [&] { return post("/v1/bundle/KFAULTA/status", json::object()); };
    const Wake scan = [] {
        return bus::requestOnce(std::string(bus::kLinkScanEndpoint), "{}", 2s).value_or(json());
    };
    const Wake osc = [&] {
        studio::test::ViscaClient(oscPort_).sendRaw("00");  // any datagram wakes it
        return json();
    };
    const Wake configuration = [] {
        return bus::requestOnce(kConfiguration, R"({"command":"server"})", 2s).value_or(json());
    };
    // Requests go out on the network loops' own routes; the reactor is woken by a /v2
    // subscription to the feed.
    const Wake subscription = [&] {
        net::test::TestClient client(server_.webSocketPort());
        if (gateway::test::upgraded(client, "/v2")) {
            client.sendText(
                R"({"jsonrpc":"2.0","id":1,"method":"subscribe","params":{"topic":"links"}})");
            (void)client.nextFrame(1s);
        }
        return json();
    };
    const Wake viscaReset = [&] {
        visca.send("01", 0x0200, 77);
        return json();
    };
    // Asks the adapter itself, so its reply wakes the link's reader too.
    const auto adapter = [&](const std::string& id) -> Wake {
        return [&, id] { return post("/v1/link/" + id, {{"command", "link_status_from_device"}}); };
    };
    const json notProcessed = {{"result", "request could not be processed"}};
    struct Row {
        std::string thread, service;
        Wake wake;
        json firstAnswer{};  // what the request that woke it is answered, where it matters
        bool endsLink = false;
    };
    const Row rows[]{
        {"net-1", "net-1", linkStatus},
        {"reactor", "Gateway bus reactor", subscription},
        {"device", "Device service", linkStatus},
        {"bundle:KFAULTA", "Bundle KFAULTA", command},
        {"send:KFAULTA", "Bundle KFAULTA sender", command, notProcessed},
        {"status:KFAULTA", "Bundle KFAULTA status", status},
        {"scan-control", "Link scanner control", scan},
        {"scan", "Link scanner", scan},
        {"config", "Configuration service", configuration},
        {"osc", "OSC input", osc},
        {"visca", "VISCA input", viscaReset},
        {"rd:KFAULTB", "Link KFAULTB reader", adapter("KFAULTB"), {}, true},
        {"link:KFAULTC", "Link KFAULTC", adapter("KFAULTC"), {}, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.thread);
        platform::injectFault(row.thread);
        std::optional<json> first;
        EXPECT_TRUE(waitUntil([&] {
            const auto answer = row.wake();
            first = first.value_or(answer);
            return log.has("error: " + row.service +
                           (row.endsLink ? " stopped after an error: " : " failed: ") +
                           "a fault injected by a test");
        }));
        if (!row.firstAnswer.is_null()) {
            EXPECT_EQ(first, row.firstAnswer);
        }
        if (row.endsLink) {
            const auto id = row.thread.substr(row.thread.find(':') + 1);
            EXPECT_TRUE(waitUntil([&] { return listed(id, false); }));
            EXPECT_TRUE(log.has("info: Link " + id + ": its line has ended"));
        }
        EXPECT_TRUE(waitUntil([&] { return listed("KFAULTA", true); }));
        EXPECT_TRUE(waitUntil([&] { return command().contains("result"); }));
    }
    EXPECT_TRUE(waitUntil([&] { return configuration().contains("httpserver"); }));
    visca.send("01", 0x0200, 78);  // answered past the replies to the resets that woke it
    EXPECT_TRUE(waitUntil([&] { return visca.next(100ms) == "02 01 00 01 00 00 00 4E 01"; }));
    EXPECT_EQ(std::ranges::count_if(notifications_->texts(),
                                    [](const std::string& text) {
                                        return text.ends_with(
                                            "stopped after an error and stays off until the server "
                                            "restarts.");
                                    }),
              2);
}

// The bundles are asked at once: each of these answers only once both were asked, which a
// one-after-another stop would never see. One that stays silent is named, within the bound.
TEST(AbortAll, AsksEveryBundleAtOnceAndNamesTheOnesThatDoNotAnswer) {
    std::mutex mutex;  // guards asked
    std::condition_variable changed;
    int asked = 0;
    const auto together = [&](const std::string& request) -> std::optional<std::string> {
        std::unique_lock lock(mutex);
        ++asked;
        changed.notify_all();
        changed.wait_for(lock, 3s, [&] { return asked >= 2; });
        return request == R"({"command":"motionAbort"})" ? R"({"acknowledged":false,"result":"ok"})"
                                                         : R"({"result":"wrong request"})";
    };
    gateway::test::FakeService one(bus::bundleEndpoint("FAKESTOP1"), together, false);
    gateway::test::FakeService silent(
        bus::bundleEndpoint("FAKESTOP2"), [](const std::string&) { return std::nullopt; }, false);
    gateway::test::FakeService two(bus::bundleEndpoint("FAKESTOP3"), together, false);

    const std::vector<std::string> ids{"FAKESTOP1", "FAKESTOP2", "FAKESTOP3"};
    const json data = abortAll(*bus::SocketRegistry::instance().context(), ids, 500ms);
    EXPECT_EQ(data, json::parse(R"([{"acknowledged":false,"linkID":"FAKESTOP1","result":"ok"},
                                    {"linkID":"FAKESTOP2","result":"no answer in time"},
                                    {"acknowledged":false,"linkID":"FAKESTOP3","result":"ok"}])"));
}

}  // namespace
}  // namespace kinetra::device
