// A newcomer's first session, end to end: the real server with its emulated adapter, paired and
// driven over HTTP and WebSocket; and kinetra-sim announcing a link to a running server, seen
// live by a /v2 subscriber.
#include <signal.h>

#include <functional>
#include <thread>

#include <gtest/gtest.h>

#include "core/json.hpp"
#include "e2e/post_json.hpp"
#include "e2e/running_server.hpp"
#include "net/test_client.hpp"

namespace kinetra {
namespace {

using net::test::TestClient;

using testing::postJson;

/// Asks again, as a client polling a few times a second would, until `accept` takes the answer
/// (the services have no event a client can wait on); the last answer either way.
json postUntil(std::uint16_t port, const std::string& path, const json& body,
               const std::function<bool(const json&)>& accept,
               std::chrono::milliseconds timeout = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    json answer;
    for (;;) {
        answer = postJson(port, path, body);
        if (accept(answer) || std::chrono::steady_clock::now() >= deadline) {
            return answer;
        }
        std::this_thread::sleep_for(50ms);
    }
}

bool listsLink(const json& status, const std::string& linkId, bool valid) {
    if (!status.is_object() || !status.contains("data")) {
        return false;
    }
    for (const auto& link : status["data"]) {
        if (link.value("linkID", "") == linkId && link.value("isValid", !valid) == valid) {
            return true;
        }
    }
    return false;
}

TEST(Simulate, TheEmulatedAdapterIsPairedAndDrivenOverHttpAndWebSocket) {
    RunningServer server({"--simulate"});
    ASSERT_TRUE(server.listening()) << server.process->output();

    const json links = postUntil(server.httpPort, "/v1/device", {{"command", "linkStatus"}},
                                 [](const json& s) { return listsLink(s, "KSIM0001", true); });
    ASSERT_TRUE(listsLink(links, "KSIM0001", true)) << links << server.process->output();

    EXPECT_EQ(postJson(server.httpPort, "/v1/link/KSIM0001", {{"command", "link1PairingConnect"}}),
              (json{{"result", "ok"}}));
    const json status = postUntil(
        server.httpPort, "/v1/bundle/KSIM0001/status", json::object(),
        [](const json& s) { return s.is_object() && s.contains("data") && s["data"].is_object(); });
    ASSERT_TRUE(status["data"].is_object()) << status;
    EXPECT_EQ(status["data"]["deviceInfo"].size(), 2U);

    TestClient socket(server.webSocketPort);
    ASSERT_NE(socket.upgrade("/v1/bundle/KSIM0001").find("101 Switching Protocols"),
              std::string::npos);
    socket.sendText(R"({"command":"realTimeMoveFixedDuration","duration":0.2,"headPan":5,)"
                    R"("headTilt":-2,"slide":0.25})");
    const auto reply = socket.nextFrame();
    EXPECT_EQ(reply ? reply->payload : "no reply", R"({"result":"ok"})");
    const json moved =
        postUntil(server.httpPort, "/v1/bundle/KSIM0001/status", json::object(), [](const json& s) {
            return s.is_object() && s.contains("data") && s["data"].is_object() &&
                   s["data"]["readings"].value("headPan", 0.0) == 5.0;
        });
    EXPECT_EQ(moved["data"]["readings"],
              (json{{"headPan", 5.0}, {"headTilt", -2.0}, {"slide", 0.25}}));

    // A page on another site posting a "simple" request, a rebinding page under its own host
    // name, and a WebSocket from another site: refused, and the gear stays where it is.
    const std::string move =
        R"({"command":"realTimeMoveFixedDuration","duration":0.2,"headPan":30})";
    const auto post = [&](const std::string& headers) {
        return TestClient::exchange(server.httpPort,
                                    "POST /v1/bundle/KSIM0001 HTTP/1.1\r\n" + headers +
                                        "Content-Length: " + std::to_string(move.size()) +
                                        "\r\n\r\n" + move)
            .value_or("");
    };
    EXPECT_TRUE(post("Host: 127.0.0.1\r\nOrigin: http://evil.example\r\n"
                     "Content-Type: text/plain\r\n")
                    .starts_with("HTTP/1.1 403 "));
    EXPECT_TRUE(post("Host: evil.example:" + std::to_string(server.httpPort) + "\r\n")
                    .starts_with("HTTP/1.1 403 "));
    TestClient foreign(server.webSocketPort);
    EXPECT_TRUE(foreign
                    .handshake("GET /v1/bundle/KSIM0001 HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                               "Origin: http://evil.example\r\nUpgrade: websocket\r\n"
                               "Connection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
                               "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n")
                    .starts_with("HTTP/1.1 403 "));
    const json after = postUntil(
        server.httpPort, "/v1/bundle/KSIM0001/status", json::object(),
        [](const json& s) { return s["data"]["readings"].value("headPan", 5.0) != 5.0; }, 1500ms);
    EXPECT_EQ(after["data"]["readings"]["headPan"], 5.0);

    server.process->signal(SIGTERM);
    EXPECT_EQ(server.process->waitForExit(10s), std::optional<int>(0));
}

// The whole session a user has with a link module: plugged in, paired over the radio, driven,
// stopped, unplugged, plugged back and driven again.
TEST(Simulate, AnAdapterUnpluggedAndPluggedBackIsDrivenAgain) {
    RunningServer server;
    ASSERT_TRUE(server.listening()) << server.process->output();
    const std::string url = "http://127.0.0.1:" + std::to_string(server.httpPort);
    const auto plugIn = [&] {
        return std::make_unique<ChildProcess>(
            std::vector<std::string>{KINETRA_SIM_PATH, "--link-id", "KSIMREG000001", "--pairing-ms",
                                     "100", "--server", url},
            server.tree.bin().string());
    };
    const auto linkIs = [&](bool valid) {
        return listsLink(
            postUntil(server.httpPort, "/v1/device", {{"command", "linkStatus"}},
                      [&](const json& s) { return listsLink(s, "KSIMREG000001", valid); }),
            "KSIMREG000001", valid);
    };
    const std::string link = "/v1/link/KSIMREG000001";
    const std::string bundle = "/v1/bundle/KSIMREG000001";
    const auto paired = [&] {
        return postUntil(server.httpPort, bundle + "/status", json::object(),
                         [](const json& s) {
                             return s.is_object() && s.contains("data") && s["data"].is_object();
                         })["data"]
            .is_object();
    };
    const auto movesTo = [&](double pan) {
        const json move{{"command", "realTimeMoveFixedDuration"},
                        {"duration", 0.2},
                        {"headPan", pan},
                        {"headTilt", 0},
                        {"slide", 0}};
        EXPECT_EQ(postJson(server.httpPort, bundle, move), (json{{"result", "ok"}}));
        return postUntil(server.httpPort, bundle + "/status", json::object(),
                         [&](const json& s) {
                             return s.is_object() && s.contains("data") && s["data"].is_object() &&
                                    s["data"]["readings"].value("headPan", 0.0) == pan;
                         })["data"]["readings"]
                   .value("headPan", 0.0) == pan;
    };

    auto simulator = plugIn();
    ASSERT_TRUE(linkIs(true)) << simulator->output() << server.process->output();
    // Over the radio: scan, then a new group of every device found.
    EXPECT_EQ(postJson(server.httpPort, link, {{"command", "wirelessPairingScanStart"}}),
              (json{{"result", "ok"}}));
    const json scan = postJson(server.httpPort, link, {{"command", "wirelessPairingScanResults"}});
    ASSERT_EQ(scan["data"].size(), 2U) << scan;
    json macs = json::array();
    for (const auto& device : scan["data"]) {
        macs.push_back(device["mac"]);
    }
    EXPECT_EQ(postJson(server.httpPort, link,
                       {{"command", "wirelessPairingCreateBundle"},
                        {"deviceCount", 2},
                        {"forcedMasterDevice", scan["data"][0]["type"]},
                        {"macList", macs}}),
              (json{{"result", "ok"}}));
    ASSERT_TRUE(paired());
    EXPECT_TRUE(movesTo(4.0));
    EXPECT_EQ(postJson(server.httpPort, bundle, {{"command", "motionAbort"}}),
              (json{{"result", "ok"}}));

    simulator->signal(SIGTERM);
    EXPECT_EQ(simulator->waitForExit(10s), std::optional<int>(0)) << simulator->output();
    EXPECT_TRUE(linkIs(false));

    simulator = plugIn();
    ASSERT_TRUE(linkIs(true)) << simulator->output();
    EXPECT_EQ(postJson(server.httpPort, link, {{"command", "link1PairingConnect"}}),
              (json{{"result", "ok"}}));
    ASSERT_TRUE(paired());
    EXPECT_TRUE(movesTo(-6.0));
}

// The link list pushed over /v2 as kinetra-sim is plugged in and unplugged (it withdraws its
// link when it ends), with no request in between.
TEST(Simulate, AV2LinksSubscriberSeesTheAdapterPluggedInAndUnplugged) {
    RunningServer server;
    ASSERT_TRUE(server.listening()) << server.process->output();
    TestClient socket(server.webSocketPort);
    ASSERT_NE(socket.upgrade("/v2").find("101 Switching Protocols"), std::string::npos);
    socket.sendText(R"({"jsonrpc":"2.0","id":1,"method":"subscribe","params":{"topic":"links"}})");
    // The next links notification whose data `accept` takes.
    const auto linksWhere = [&](const std::function<bool(const json&)>& accept) {
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (std::chrono::steady_clock::now() < deadline) {
            const auto frame = socket.nextFrame(500ms);
            const json message = frame ? json::parse(frame->payload, nullptr, false) : json();
            if (message.is_object() && message.value("method", "") == "links" &&
                accept(message["params"]["data"])) {
                return true;
            }
        }
        return false;
    };
    const auto linkIs = [](bool valid) {
        return [valid](const json& data) {
            return listsLink(json{{"data", data}}, "KSIMV2LINKS1", valid);
        };
    };
    ASSERT_TRUE(linksWhere([](const json& data) { return data == json::array(); }))
        << "the list at once, empty";

    ChildProcess simulator({KINETRA_SIM_PATH, "--link-id", "KSIMV2LINKS1", "--server",
                            "http://127.0.0.1:" + std::to_string(server.httpPort)},
                           server.tree.bin().string());
    EXPECT_TRUE(linksWhere(linkIs(true))) << simulator.output() << server.process->output();
    simulator.signal(SIGTERM);
    EXPECT_EQ(simulator.waitForExit(10s), std::optional<int>(0)) << simulator.output();
    EXPECT_TRUE(linksWhere(linkIs(false))) << server.process->output();
}

}  // namespace
}  // namespace kinetra
