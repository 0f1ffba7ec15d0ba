// The kinetra_sdk_webserver program as its launcher runs it: started in www/ with the address and
// port as its two arguments; a port it cannot bind ends it with the bind-failure status.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include "net/loopback_server.hpp"
#include "net/test_client.hpp"
#include "support/child_process.hpp"
#include "webserver/exit_status.hpp"
#include "www_tree.hpp"

namespace kinetra::webserver {
namespace {

using namespace std::chrono_literals;
using net::test::TestClient;

// The port the program logged it is listening on, or 0.
std::uint16_t listeningPort(testing::ChildProcess& program) {
    const std::string marker = "Listening on 127.0.0.1:";
    if (!program.waitForOutput(marker, 10s)) {
        return 0;
    }
    const auto& output = program.output();
    return static_cast<std::uint16_t>(
        std::stoi(output.substr(output.find(marker) + marker.size())));
}

TEST(WebServerProgram, ServesItsWorkingDirectoryUntilTerminated) {
    const test::WwwTree tree;
    // The installation's configuration beside www/, as the program finds it.
    tree.write("cfg/config.ini",
               "[httpserver]\nkeepAliveSeconds = 1\n[security]\nallowedHosts = studio.lan\n");
    testing::ChildProcess program({KINETRA_WEBSERVER_PATH, "127.0.0.1", "0"}, tree.www().string());
    const auto port = listeningPort(program);
    ASSERT_NE(port, 0) << program.output();

    // A browser reuses its connection: the page and what it asks next come on one, which is
    // closed once quiet for the configured second (the default is five).
    TestClient browser(port);
    browser.send("GET / HTTP/1.1\r\nHost: studio.lan\r\n\r\n");
    const auto index = browser.nextResponse();
    ASSERT_TRUE(index);
    EXPECT_TRUE(index->starts_with("HTTP/1.1 200 OK\r\n")) << *index;
    EXPECT_TRUE(index->ends_with(test::kIndexPage)) << *index;
    // No other site may frame the pages.
    EXPECT_NE(index->find("\r\nContent-Security-Policy: frame-ancestors 'self'\r\n"),
              std::string::npos);
    EXPECT_NE(index->find("\r\nX-Frame-Options: SAMEORIGIN\r\n"), std::string::npos);
    // The configuration leaves the API on its default address, every interface, without a
    // key: the page learns so from its own server.
    browser.send("GET /api-exposure.json HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    EXPECT_NE(browser.nextResponse().value_or("").find(
                  "\r\n\r\n{\"warning\":\"The API listens beyond this machine (0.0.0.0:32222, "
                  "0.0.0.0:32224)"),
              std::string::npos);
    const auto quiet = std::chrono::steady_clock::now();
    EXPECT_EQ(browser.nextResponse(4s), std::nullopt);
    EXPECT_TRUE(browser.closedByServer());
    EXPECT_LT(std::chrono::steady_clock::now() - quiet, 3s);
    // A name that is not this machine's nor listed (a rebinding page's) gets nothing, and the
    // connection ends.
    const auto refused = TestClient::exchange(port, "GET / HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_TRUE(refused.value_or("").starts_with("HTTP/1.1 403 Forbidden\r\nConnection: close\r\n"))
        << refused.value_or("");

    program.signal(SIGTERM);
    EXPECT_EQ(program.waitForExit(5s), 0);
}

TEST(WebServerProgram, EndsWithTheBindFailureStatusWhenItsPortIsTaken) {
    const test::WwwTree tree;
    const net::test::LoopbackServer taken([](const net::TcpConnection::Ptr&) {});
    const std::pair<std::vector<std::string>, int> runs[] = {
        {{"127.0.0.1", std::to_string(taken.port())}, kBindFailureExitStatus},
        {{"192.0.2.1", "0"}, kBindFailureExitStatus},  // not this machine's address
        {{"127.0.0.1"}, kUsageExitStatus},
        {{"127.0.0.1", "http"}, kUsageExitStatus},
        {{"127.0.0.1", "65536"}, kUsageExitStatus},
    };
    for (auto [arguments, status] : runs) {
        arguments.insert(arguments.begin(), KINETRA_WEBSERVER_PATH);
        testing::ChildProcess program(arguments, tree.www().string());
        EXPECT_EQ(program.waitForExit(5s), status) << program.output();
    }
}

}  // namespace
}  // namespace kinetra::webserver
