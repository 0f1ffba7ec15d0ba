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

// A stand-in gateway that answers {"result":"offline"} `offlineAnswers` times, then
// {"result":"ok"}, and records the command of every body; plugIn() starts a kinetra-sim with the
// link id `linkId` announcing itself to it.
struct StandInGateway {
    explicit StandInGateway(int offlineAnswers) {
        net::HttpSession::Handlers handlers;
        handlers.onRequest = [this, offlineAnswers](const net::HttpRequest& request,
                                                    const net::HttpSession::Ptr& session) {
            const json body = json::parse(request.body, nullptr, false);
            commands.add(body.is_object() ? body.value("command", "") : "?");
            const bool offline = answered++ < offlineAnswers;
            session->send(net::HttpResponse()
                              .setBody(offline ? R"({"result":"offline"})" : R"({"result":"ok"})")
                              .toString());
            session->shutdown();
        };
        server.emplace(net::HttpSession::enterCallback(std::move(handlers)));
    }
    testing::ChildProcess plugIn(const std::string& linkId) const {
        return testing::ChildProcess({KINETRA_SIM_PATH, "--link-id", linkId, "--server",
                                      "http://127.0.0.1:" + std::to_string(server->port())},
                                     tree.bin().string());
    }

    net::test::Recorder<std::string> commands;
    std::atomic<int> answered{0};
    testing::TemporaryTree tree;
    std::optional<net::test::LoopbackServer> server;  // last: stopped before the rest goes
};

// One announcement is taken on the third try and withdrawn at the end; one never taken ends its
// retries at the signal, with nothing to withdraw.
TEST(SimulatorAnnouncement, IsRepeatedWhileOfflineWithdrawnAtTheEndAndEndedByASignal) {
    StandInGateway gateway(2);
    StandInGateway offline(1000);
    testing::ChildProcess simulator = gateway.plugIn("KSIMANN00001");
    testing::ChildProcess retrying = offline.plugIn("KSIMANN00002");
    // Taken on the third try (tries are 200 ms apart): no fourth announcement follows.
    ASSERT_EQ(gateway.commands.waitFor(3, 10s).size(), 3U) << simulator.output();
    EXPECT_EQ(gateway.commands.waitFor(4, 500ms),
              (std::vector<std::string>{"device_found", "device_found", "device_found"}));
    simulator.signal(SIGTERM);
    EXPECT_EQ(simulator.waitForExit(10s), std::optional<int>(0)) << simulator.output();
    EXPECT_EQ(gateway.commands.waitFor(4).back(), "device_disconnected");

    ASSERT_FALSE(offline.commands.waitFor(1, 10s).empty());
    retrying.signal(SIGTERM);
    const auto stopping = std::chrono::steady_clock::now();
    EXPECT_EQ(retrying.waitForExit(10s), std::optional<int>(0)) << retrying.output();
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, 2s);
    for (const auto& command : offline.commands.waitFor()) {
        EXPECT_EQ(command, "device_found");
    }
}

}  // namespace
}  // namespace kinetra
