// The gateway of the real server in a temporary install tree, on free loopback ports: what a
// client sees before any device service exists, then an orderly stop with clients connected.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "net/test_client.hpp"
#include "support/child_process.hpp"
#include "support/temporary_tree.hpp"

namespace kinetra {
namespace {

using namespace std::chrono_literals;
using net::test::TestClient;
using testing::ChildProcess;
using testing::TemporaryTree;

// A port the system just handed out and released; free unless someone takes it in between.
std::uint16_t freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        ::close(fd);
        throw std::runtime_error("no free port");
    }
    ::close(fd);
    return ntohs(address.sin_port);
}

struct RunningServer {
    TemporaryTree tree;
    std::uint16_t httpPort = freePort();
    std::uint16_t webSocketPort = freePort();
    std::unique_ptr<ChildProcess> process;

    RunningServer() {
        tree.write("cfg/config.ini",
                   "[httpserver]\naddress=127.0.0.1\nport=" + std::to_string(httpPort) +
                       "\n[webserver]\naddress=127.0.0.1\nport=" + std::to_string(freePort()) +
                       "\n[websocket]\naddress=127.0.0.1\nport=" + std::to_string(webSocketPort) +
                       "\n");
        process = std::make_unique<ChildProcess>(
            std::vector<std::string>{KINETRA_SERVER_PATH}, tree.bin().string(),
            std::map<std::string, std::string>{{"TMPDIR", tree.tmp().string()}});
    }
    // The WebSocket listener starts last.
    bool listening() {
        return process->waitForOutput(
            "Listening on 127.0.0.1:" + std::to_string(webSocketPort) + ".", 10s);
    }
};

TEST(Gateway, AnswersBeforeAnyServiceExistsAndStopsCleanlyOnSigtermWithClientsConnected) {
    RunningServer server;
    ASSERT_TRUE(server.listening()) << server.process->output();
    EXPECT_NE(server.process->output().find(R"({"address":"127.0.0.1","port":")" +
                                            std::to_string(server.httpPort) + "\"}"),
              std::string::npos);

    // The configuration service is never announced: offline, in the one response form.
    EXPECT_EQ(TestClient::exchange(server.httpPort,
                                   "GET /v1/configuration HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"),
              "HTTP/1.1 200 OK\r\nAccess-Control-Allow-Origin: *\r\nContent-Length: 20\r\n"
              "Content-Type: application/json\r\nallow: GET, POST, HEAD\r\n\r\n"
              R"({"result":"offline"})");
    EXPECT_TRUE(server.process->waitForOutput("inproc://v1/configuration is offline.", 5s));

    // A WebSocket client told that the device service is not there yet (it stays connected),
    // an idle one, and an HTTP client that sent half a request.
    TestClient waiting(server.webSocketPort);
    ASSERT_NE(waiting.upgrade("/v1/device").find("101 Switching Protocols"), std::string::npos);
    waiting.sendText(R"({"command":"getLinks"})");
    const auto reply = waiting.nextFrame();
    EXPECT_EQ(reply ? reply->payload : "no reply", R"({"result":"offline"})");
    TestClient idle(server.webSocketPort);
    ASSERT_NE(idle.upgrade("/v1/bundle/X1").find("101 Switching Protocols"), std::string::npos);
    TestClient partial(server.httpPort);
    partial.send("POST /v1/device HTTP/1.1\r\nContent-Length: 100\r\n\r\n{\"comm");

    server.process->signal(SIGTERM);
    EXPECT_EQ(server.process->waitForExit(10s), std::optional<int>(0)) << server.process->output();
    EXPECT_EQ(server.tree.read("tmp/MyLockFile"), "");
    for (TestClient* client : {&waiting, &idle, &partial}) {
        client->readToEnd(2s);
        EXPECT_TRUE(client->closedByServer());
    }
}

}  // namespace
}  // namespace kinetra
