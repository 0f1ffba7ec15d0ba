// A whole server in one process (gateway, device service with its scanner, studio inputs and
// emulated links): a fault thrown inside each kind of loop is survived, and the server keeps
// answering. A loop that restarts comes back; a link's reader or service that ends takes only
// that link down.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "bus/endpoints.hpp"
#include "bus/service_loop.hpp"
#include "config/configuration_controller.hpp"
#include "discovery/bundle_controller.hpp"
#include "gateway/gateway_test_support.hpp"
#include "gateway/server.hpp"
#include "net/udp_listener.hpp"
#include "notify/notification_handler.hpp"
#include "platform/service_thread.hpp"
#include "sim/emulated_link.hpp"
#include "sim/registration.hpp"
#include "studio/studio_service.hpp"
#include "support/recording_notifications.hpp"
#include "support/temporary_tree.hpp"

namespace kinetra {
namespace {

using namespace std::chrono_literals;
using gateway::test::LogCapture;
using gateway::test::waitUntil;

constexpr const char* kConfiguration = "inproc://test/faults/configuration";

void sendDatagram(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const char byte = 0;
    ::sendto(fd, &byte, 1, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    ::close(fd);
}

sim::LinkConfig emulatedLink(const std::string& linkId) {
    sim::LinkConfig config;
    config.linkID = linkId;
    config.timings.statusInterval = 20ms;
    return config;
}

class ThreadFaults : public ::testing::Test {
protected:
    ThreadFaults() {
        platform::setServiceEndNotice([](const std::string& text) { notify::notify(text); });
        discovery::ControllerOptions options;
        options.listPorts = [] { return std::optional(std::vector<serial::PortListing>{}); };
        options.linkTimings.pollerPause = 50ms;
        options.dfuToolPath = (tree_.root() / "firmware/dfu-util").string();
        options.dfuWorkingDirectory = (tree_.root() / "firmware").string();
        devices_ = std::make_unique<discovery::BundleController>(kConfiguration, options);
        server_.start(1);  // one worker loop: every connection is served by net-1
        studio::StudioSettings studio;
        studio.oscAddress = "127.0.0.1";
        studio.oscPort = oscPort_;
        studio.visca.address = "127.0.0.1";
        studio.visca.ports = {{"KFAULTA", viscaPort_}};
        studio_ = std::make_unique<studio::StudioService>(studio);
    }
    ~ThreadFaults() override { platform::setServiceEndNotice({}); }

    std::optional<json> post(const std::string& path, const json& body) {
        const auto reply =
            sim::postJson("127.0.0.1", server_.httpPort(), path, core::dumpCompact(body), 5s);
        if (!reply) {
            return std::nullopt;
        }
        auto parsed = json::parse(*reply, nullptr, false);
        return parsed.is_object() ? std::optional(std::move(parsed)) : std::nullopt;
    }
    bool listed(const std::string& linkId, bool valid) {
        const auto status = post("/v1/device", {{"command", "linkStatus"}});
        return status && (*status)["data"].is_array() &&
               std::ranges::any_of((*status)["data"], [&](const json& link) {
                   return link.value("linkID", "") == linkId &&
                          link.value("isValid", !valid) == valid;
               });
    }
    bool commandAnswered(const std::string& linkId) {
        const auto reply = post("/v1/bundle/" + linkId, {{"command", "motionAbort"}});
        return reply && reply->contains("result");
    }

    testing::ScopedRecordingBackend notifications_;
    testing::TemporaryTree tree_;
    config::ConfigurationController configuration_{tree_.root().string() + "/cfg/", kConfiguration};
    std::unique_ptr<discovery::BundleController> devices_;
    gateway::Server server_{gateway::test::kLoopback};
    std::uint16_t oscPort_ = net::test::UdpListener().port();
    std::uint16_t viscaPort_ = net::test::UdpListener().port();
    std::unique_ptr<studio::StudioService> studio_;
};

// Each row throws once inside one loop, wakes it, and waits for its log line; after each the
// link list and a bundle command are still answered over HTTP. A link whose reader or service
// failed is taken down (the user is told), while the other links go on.
TEST_F(ThreadFaults, EveryKindOfLoopSurvivesAThrowAndTheServerKeepsAnswering) {
    LogCapture log;
    std::vector<std::unique_ptr<sim::EmulatedLink>> links;
    for (const auto* id : {"KFAULTA", "KFAULTB", "KFAULTC"}) {
        links.push_back(std::make_unique<sim::EmulatedLink>(emulatedLink(id)));
        const auto found = sim::deviceFoundRequest(links.back()->config(), links.back()->path());
        ASSERT_TRUE(post("/v1/device", found));
        ASSERT_TRUE(waitUntil([&] { return listed(id, true); })) << id;
    }
    const auto linkStatus = [&] { post("/v1/device", {{"command", "linkStatus"}}); };
    const auto askScan = [] { bus::requestOnce(std::string(bus::kLinkScanEndpoint), "{}", 2s); };
    // Asks the adapter itself, so its reply wakes the link's reader too.
    const auto linkRequest = [&](const std::string& id) {
        return [&, id] { post("/v1/link/" + id, {{"command", "link_status_from_device"}}); };
    };
    const std::string listener = "listen:" + std::to_string(server_.httpPort());
    struct Row {
        std::string thread;
        std::string logged;  // how its log line starts
        std::function<void()> wake;
        std::string endsLink;  // the link an ending thread takes down
    };
    const std::vector<Row> rows{
        {"net-1", "error: net-1 failed: ", linkStatus, ""},
        {listener, "error: " + listener + " failed: ", linkStatus, ""},
        {"reactor", "error: Gateway bus reactor failed: ", linkStatus, ""},
        {"device", "error: Device service failed: ", linkStatus, ""},
        {"bundle:KFAULTA", "error: Bundle KFAULTA failed: ", [&] { commandAnswered("KFAULTA"); },
         ""},
        {"send:KFAULTA",
         "error: Bundle KFAULTA sender failed: ", [&] { commandAnswered("KFAULTA"); }, ""},
        {"status:KFAULTA", "error: Bundle KFAULTA status failed: ",
         [&] { post("/v1/bundle/KFAULTA/status", {}); }, ""},
        {"scan-control", "error: Link scanner control failed: ", askScan, ""},
        {"scan", "error: Link scanner failed: ", askScan, ""},
        {"osc", "error: OSC input failed: ", [&] { sendDatagram(oscPort_); }, ""},
        {"visca", "error: VISCA input failed: ", [&] { sendDatagram(viscaPort_); }, ""},
        {"rd:KFAULTB",
         "error: Link KFAULTB reader stopped after an error: ", linkRequest("KFAULTB"), "KFAULTB"},
        {"link:KFAULTC", "error: Link KFAULTC stopped after an error: ", linkRequest("KFAULTC"),
         "KFAULTC"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.thread);
        platform::injectFault(row.thread);
        EXPECT_TRUE(waitUntil([&] {
            row.wake();
            return log.has(row.logged + "a fault injected by a test");
        }));
        if (!row.endsLink.empty()) {
            EXPECT_TRUE(waitUntil([&] { return listed(row.endsLink, false); }));
            EXPECT_TRUE(log.has("info: Link " + row.endsLink + ": its line has ended"));
        }
        EXPECT_TRUE(waitUntil([&] { return listed("KFAULTA", true); }));
        EXPECT_TRUE(waitUntil([&] { return commandAnswered("KFAULTA"); }));
    }
    EXPECT_EQ(std::ranges::count_if(notifications_->texts(),
                                    [](const std::string& text) {
                                        return text.find("stopped after an error") !=
                                               std::string::npos;
                                    }),
              2);
}

}  // namespace
}  // namespace kinetra
