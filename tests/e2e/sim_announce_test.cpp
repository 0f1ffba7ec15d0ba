// kinetra-sim announcing its link to a server that has only just started: the gateway listens
// before the device service is up and answers "offline" meanwhile, so the announcement is
// repeated, 200 ms apart, until the service takes it or a signal ends the retries. A stand-in
// HTTP server that never gets past "offline" plays that gateway; an announcement taken and then
// withdrawn is the end-to-end session's.
#include <signal.h>

#include <optional>
#include <string>

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

}  // namespace
}  // namespace kinetra
