// A link's health seen from outside: linkStatistics while status streams, the /v2 health feed,
// and a /metrics scrape that promtool accepts, against the real server and kinetra-sim. (Who
// may scrape is the gateway's trust test's.)
#include <cstdlib>

#include <gtest/gtest.h>

#include "core/json.hpp"
#include "e2e/running_server.hpp"
#include "net/test_client.hpp"

namespace kinetra {
namespace {

using net::test::TestClient;

const json kOk{{"result", "ok"}};
const json kOffline{{"result", "offline"}};

const std::string kLink = "KSIMHEALTH01";

// The whole response to GET /metrics, or "".
std::string scrape(std::uint16_t port) {
    return TestClient::exchange(port, "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
        .value_or("");
}

std::string bodyOf(const std::string& response) {
    const auto start = response.find("\r\n\r\n");
    return start == std::string::npos ? "" : response.substr(start + 4);
}

TEST(Health, StatisticsFeedAndScrapeOfAStreamingLink) {
    RunningServer server;
    ASSERT_TRUE(server.listening()) << server.process->output();
    auto simulator = server.plugIn(kLink, {"--pairing-ms", "100"});
    ASSERT_TRUE(server.linkIs(kLink)) << simulator->output();
    const std::string link = "/v1/link/" + kLink;
    ASSERT_TRUE(server.pairOverRj45(kLink));
    // An acknowledged send, for a round trip to measure.
    ASSERT_EQ(server.post("/v1/bundle/" + kLink, {{"command", "motionAbort"}}), kOk);

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
    EXPECT_EQ(server.post("/v1/link/NOSUCHLINK", {{"command", "linkStatistics"}}), kOffline);

    TestClient watcher(server.webSocketPort);
    ASSERT_TRUE(watcher.upgrade("/v2").starts_with("HTTP/1.1 101 "));
    watcher.sendText(
        R"({"jsonrpc":"2.0","id":1,"method":"subscribe","params":{"topic":"health","linkID":")" +
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
        response = scrape(server.httpPort);
        std::this_thread::sleep_for(200ms);
    } while (response.find("kinetra_link_status_age_seconds{") == std::string::npos &&
             std::chrono::steady_clock::now() < until);
    ASSERT_TRUE(response.starts_with("HTTP/1.1 200 ")) << response;
    EXPECT_NE(response.find("text/plain; version=0.0.4"), std::string::npos);
    const auto text = bodyOf(response);
    for (const char* sample : {"kinetra_link_frames_received_total{link=\"KSIMHEALTH01\"} ",
                               "kinetra_link_ack_seconds{link=\"KSIMHEALTH01\",quantile=\"0.99\"} ",
                               "kinetra_link_status_age_seconds{link=\"KSIMHEALTH01\"} ",
                               "kinetra_gateway_connections "}) {
        EXPECT_NE(text.find(sample), std::string::npos) << sample << "\n" << text;
    }
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
