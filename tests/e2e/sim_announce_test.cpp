// kinetra-sim announcing its link to a server that has only just started: the gateway listens
// before the device service is up and answers "offline" meanwhile, so the announcement must be
// repeated until the service itself takes it. A stand-in HTTP server plays that gateway.
#include <signal.h>

#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/json.hpp"
#include "net/http_response.hpp"
#include "net/http_session.hpp"
#include "net/loopback_server.hpp"
#include "net/test_client.hpp"
#include "support/child_process.hpp"
#include "support/temporary_tree.hpp"

namespace kinetra {
namespace {

using namespace std::chrono_literals;

/// Answers each request {"result":"offline"} `offlineAnswers` times, then {"result":"ok"};
/// records the command of every body.
class StandInGateway {
public:
    explicit StandInGateway(int offlineAnswers) {
        net::HttpSession::Handlers handlers;
        handlers.onRequest = [this, offlineAnswers](const net::HttpRequest& request,
                                                    const net::HttpSession::Ptr& session) {
            const json body = json::parse(request.body, nullptr, false);
            commands.add(body.is_object() ? body.value("command", "") : "?");
            session->send(net::HttpResponse()
                              .setBody(answered_++ < offlineAnswers ? R"({"result":"offline"})"
                                                                    : R"({"result":"ok"})")
                              .toString());
            session->shutdown();
        };
        server_.emplace(net::HttpSession::enterCallback(std::move(handlers)));
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(server_->port()); }

    net::test::Recorder<std::string> commands;

private:
    std::atomic<int> answered_{0};
    std::optional<net::test::LoopbackServer> server_;  // last: stopped before the rest goes
};

TEST(SimulatorAnnouncement, IsRepeatedWhileTheDeviceServiceIsOfflineAndWithdrawnAtTheEnd) {
    StandInGateway gateway(2);
    testing::TemporaryTree tree;
    testing::ChildProcess simulator(
        {KINETRA_SIM_PATH, "--link-id", "KSIMANN00001", "--server", gateway.url()},
        tree.bin().string());
    // Taken on the third try (tries are 200 ms apart): no fourth announcement follows.
    ASSERT_EQ(gateway.commands.waitFor(3, 10s).size(), 3U) << simulator.output();
    EXPECT_EQ(gateway.commands.waitFor(4, 500ms),
              (std::vector<std::string>{"device_found", "device_found", "device_found"}));

    simulator.signal(SIGTERM);
    EXPECT_EQ(simulator.waitForExit(10s), std::optional<int>(0)) << simulator.output();
    const auto commands = gateway.commands.waitFor(4);
    ASSERT_EQ(commands.size(), 4U) << simulator.output();
    EXPECT_EQ(commands.back(), "device_disconnected");
}

TEST(SimulatorAnnouncement, ASignalEndsTheRetriesAtOnce) {
    StandInGateway gateway(1000);
    testing::TemporaryTree tree;
    testing::ChildProcess simulator(
        {KINETRA_SIM_PATH, "--link-id", "KSIMANN00002", "--server", gateway.url()},
        tree.bin().string());
    ASSERT_FALSE(gateway.commands.waitFor(1, 10s).empty());
    simulator.signal(SIGTERM);
    const auto stopping = std::chrono::steady_clock::now();
    EXPECT_EQ(simulator.waitForExit(10s), std::optional<int>(0)) << simulator.output();
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, 2s);
    // Never taken, so never withdrawn.
    for (const auto& command : gateway.commands.waitFor()) {
        EXPECT_EQ(command, "device_found");
    }
}

}  // namespace
}  // namespace kinetra
