// A newcomer's first session, end to end: kinetra-sim plugged into the real server, paired,
// driven over HTTP and WebSocket, unplugged, plugged back and driven again; a /v2 subscriber
// sees the link come and go with no request in between. Before that, kinetra-sim's announcement
// to a server that is not ready yet. (The jog dead-man is the gateway's and the stop tests'.)
#include <signal.h>

#include <functional>

#include <gtest/gtest.h>

#include "core/json.hpp"
#include "e2e/running_server.hpp"
#include "net/http_response.hpp"
#include "net/http_session.hpp"
#include "net/loopback_server.hpp"
#include "net/test_client.hpp"

namespace kinetra {
namespace {

using net::test::TestClient;

const std::string kLink = "KSIMREG000001";
const std::string kBundle = "/v1/bundle/" + kLink;
const json kOk{{"result", "ok"}};

json move(double pan, double tilt = 0, double slide = 0) {
    return {{"command", "realTimeMoveFixedDuration"},
            {"duration", 0.2},
            {"headPan", pan},
            {"headTilt", tilt},
            {"slide", slide}};
}

// The head's readings once its pan is `pan`, or the last ones seen.
json readingsAt(const RunningServer& server, double pan) {
    return server.postUntil(kBundle + "/status", json::object(), [&](const json& s) {
        return hasStatus(s) && s["data"]["readings"].value("headPan", 1e9) == pan;
    })["data"]["readings"];
}

// kinetra-sim announcing its link to a server that has only just started: the gateway listens
// before the device service is up and answers "offline" meanwhile, so the announcement is
// repeated, 200 ms apart, until the service takes it or a signal ends the retries. A stand-in
// HTTP server that never gets past "offline" plays that gateway.
TEST(SimulatorAnnouncement, IsRepeatedWhileTheServerIsOfflineUntilASignalEndsIt) {
    net::test::Recorder<std::string> commands;
    net::HttpSession::Handlers handlers;
    handlers.onRequest = [&commands](const net::HttpRequest& request,
                                     const net::HttpSession::Ptr& session) {
        commands.add(json::parse(request.body, nullptr, false).value("command", "?"));
        session->respond(net::HttpResponse().setBody(R"({"result":"offline"})").toString());
    };
    const net::test::LoopbackServer gateway(net::HttpSession::enterCallback(std::move(handlers)));
    const testing::TemporaryTree tree;
    testing::ChildProcess simulator({KINETRA_SIM_PATH, "--link-id", "KSIMANN00001", "--server",
                                     "http://127.0.0.1:" + std::to_string(gateway.port())},
                                    tree.bin().string());
    ASSERT_EQ(commands.waitFor(3, 10s).size(), 3U) << simulator.output();

    simulator.signal(SIGTERM);
    const auto stopping = std::chrono::steady_clock::now();
    EXPECT_EQ(simulator.waitForExit(10s), std::optional<int>(0)) << simulator.output();
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, 2s);
    for (const auto& command : commands.waitFor()) {
        EXPECT_EQ(command, "device_found");  // never taken: nothing to withdraw
    }
}

TEST(Simulate, AnAdapterIsPairedDrivenUnpluggedAndPluggedBackAsAV2SubscriberWatches) {
    RunningServer server;
    ASSERT_TRUE(server.listening()) << server.process->output();
    TestClient watcher(server.webSocketPort);
    ASSERT_TRUE(watcher.upgrade("/v2").starts_with("HTTP/1.1 101 "));
    watcher.sendText(R"({"jsonrpc":"2.0","id":1,"method":"subscribe","params":{"topic":"links"}})");
    // The next links notification whose data `accept` takes.
    const auto linksWhere = [&](const std::function<bool(const json&)>& accept) {
        for (auto frame = watcher.nextFrame(20s); frame; frame = watcher.nextFrame(20s)) {
            const json message = json::parse(frame->payload, nullptr, false);
            if (message.value("method", "") == "links" && accept(message["params"]["data"])) {
                return true;
            }
        }
        return false;
    };
    const auto listed = [](bool valid) {
        return [valid](const json& data) { return listsLink({{"data", data}}, kLink, valid); };
    };
    ASSERT_TRUE(linksWhere([](const json& data) { return data == json::array(); }))
        << "the list at once, empty";

    auto simulator = server.plugIn(kLink, {"--pairing-ms", "100"});
    ASSERT_TRUE(linksWhere(listed(true))) << simulator->output() << server.process->output();
    // Pairing over the radio is walked through by the documented examples.
    const std::string link = "/v1/link/" + kLink;
    EXPECT_EQ(server.post(link, {{"command", "link1PairingConnect"}}), kOk);
    ASSERT_TRUE(server.paired(kLink));
    EXPECT_EQ(server.post(kBundle + "/status")["data"]["deviceInfo"].size(), 2U);

    TestClient socket(server.webSocketPort);
    ASSERT_TRUE(socket.upgrade(kBundle).starts_with("HTTP/1.1 101 "));
    socket.sendText(move(5, -2, 0.25).dump());
    const auto reply = socket.nextFrame();
    EXPECT_EQ(reply ? reply->payload : "no reply", R"({"result":"ok"})");
    EXPECT_EQ(readingsAt(server, 5), (json{{"headPan", 5.0}, {"headTilt", -2.0}, {"slide", 0.25}}));
    EXPECT_EQ(server.post(kBundle, {{"command", "motionAbort"}}), kOk);

    simulator->signal(SIGTERM);  // unplugged: it withdraws its link as it ends
    EXPECT_EQ(simulator->waitForExit(10s), std::optional<int>(0)) << simulator->output();
    EXPECT_TRUE(linksWhere(listed(false))) << server.process->output();

    simulator = server.plugIn(kLink, {"--pairing-ms", "100"});
    ASSERT_TRUE(server.linkIs(kLink)) << simulator->output();
    EXPECT_EQ(server.post(link, {{"command", "link1PairingConnect"}}), kOk);
    ASSERT_TRUE(server.paired(kLink));
    EXPECT_EQ(server.post(kBundle, move(-6)), kOk);
    EXPECT_EQ(readingsAt(server, -6)["headPan"], -6.0);
    // A stop with a paired, streaming bundle is as orderly as one without.
    server.process->signal(SIGTERM);
    EXPECT_EQ(server.process->waitForExit(10s), std::optional<int>(0));
}

}  // namespace
}  // namespace kinetra
