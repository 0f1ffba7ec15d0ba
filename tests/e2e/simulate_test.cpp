// A newcomer's first session, end to end: kinetra-sim plugged into the real server, paired,
// driven over HTTP and WebSocket, its health read (linkStatistics, the /v2 feed, a /metrics
// scrape that promtool accepts), unplugged, plugged back and driven again; a /v2 subscriber
// sees the link come and go with no request in between. Before that, kinetra-sim's announcement
// to a server that is not ready yet. (The jog dead-man is the gateway's and the stop tests';
// who may scrape is the gateway's trust test's.)
#include <signal.h>

#include <cstdlib>
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

TEST(Simulate,
     AnAdapterIsPairedDrivenReportsItsHealthUnpluggedAndPluggedBackAsAV2SubscriberWatches) {
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
    // An acknowledged send, for a round trip to measure.
    EXPECT_EQ(server.post(kBundle, {{"command", "motionAbort"}}), kOk);

    // Statuses stream from pairing on: a rate near the emulator's, a fresh last one, and the
    // frames they came in.
    const auto statistics =
        server.postUntil(link, {{"command", "linkStatistics"}}, [](const json& r) {
            return r.contains("data") && r["data"].value("statusRate", 0.0) > 5 &&
                   r["data"]["ackRoundTrip"].value("count", 0) > 0;
        });
    ASSERT_EQ(statistics.value("result", ""), "ok") << statistics;
    const json& data = statistics["data"];
    EXPECT_GT(data.value("statusRate", 0.0), 5) << data;
    EXPECT_LT(data.value("statusAgeMs", 100000), 1000) << data;
    EXPECT_GE(data.value("framesIn", 0), data.value("statusMessages", 0)) << data;
    EXPECT_GT(data.value("bytesIn", 0), 79 * data.value("statusMessages", 0)) << data;
    EXPECT_GT(data.value("framesOut", 0), 0) << data;
    EXPECT_EQ(data.value("discarded", 1), 0) << data;
    EXPECT_TRUE(data["ackRoundTrip"]["p99"].is_number()) << data;
    EXPECT_EQ(server.post("/v1/link/NOSUCHLINK", {{"command", "linkStatistics"}}),
              (json{{"result", "offline"}}));

    watcher.sendText(
        R"({"jsonrpc":"2.0","id":2,"method":"subscribe","params":{"topic":"health","linkID":")" +
        kLink + R"("}})");
    int notifications = 0;
    const auto start = std::chrono::steady_clock::now();
    for (auto frame = watcher.nextFrame(5s); frame && notifications < 2;
         frame = watcher.nextFrame(5s)) {
        const json message = json::parse(frame->payload, nullptr, false);
        if (message.value("method", "") == "health") {
            EXPECT_EQ(message["params"]["linkID"], kLink);
            EXPECT_GT(message["params"]["data"].value("framesIn", 0), 0) << message;
            ++notifications;
        }
    }
    EXPECT_EQ(notifications, 2);
    EXPECT_GT(std::chrono::steady_clock::now() - start, 900ms) << "one a second, not faster";

    // The first scrape starts following the links' health: theirs come from the next ones on.
    std::string response;
    const auto until = std::chrono::steady_clock::now() + 5s;
    do {
        response = TestClient::exchange(server.httpPort,
                                        "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
                       .value_or("");
        std::this_thread::sleep_for(200ms);
    } while (response.find("kinetra_link_status_age_seconds{") == std::string::npos &&
             std::chrono::steady_clock::now() < until);
    ASSERT_TRUE(response.starts_with("HTTP/1.1 200 ")) << response;
    EXPECT_NE(response.find("text/plain; version=0.0.4"), std::string::npos);
    const auto text = response.substr(response.find("\r\n\r\n") + 4);
    for (const std::string& sample :
         {"kinetra_link_frames_received_total{link=\"" + kLink + "\"} ",
          "kinetra_link_ack_seconds{link=\"" + kLink + "\",quantile=\"0.99\"} ",
          "kinetra_link_status_age_seconds{link=\"" + kLink + "\"} ",
          std::string("kinetra_gateway_connections ")}) {
        EXPECT_NE(text.find(sample), std::string::npos) << sample << "\n" << text;
    }

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

    if (std::system("command -v promtool >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "promtool is not installed (Debian package prometheus): the scrape was "
                        "not checked";
    }
    server.tree.write("tmp/scrape.txt", text);
    const std::string check = "cd " + server.tree.tmp().string() +
                              " && promtool check metrics < scrape.txt > verdict.txt 2>&1";
    EXPECT_EQ(std::system(check.c_str()), 0) << server.tree.read("tmp/verdict.txt") << text;
}

}  // namespace
}  // namespace kinetra
