#include "tray/tray_application.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "bus/endpoints.hpp"
#include "config/configuration_controller.hpp"
#include "gateway/gateway_test_support.hpp"
#include "support/recording_notifications.hpp"
#include "support/temporary_tree.hpp"
#include "tray/desktop_notifications.hpp"
#include "tray/motion_stop.hpp"
#include "tray_test_support.hpp"

namespace kinetra::tray {
namespace {

// The ports come from the configuration service's reply; the web application is addressed where
// it listens, on loopback unless bound to one other address only. An exit from another thread
// ends run.
TEST(TrayApplication, TakesThePortsFromTheConfigurationAndEndsOnAnExitFromAnotherThread) {
    testing::TemporaryTree tree;
    tree.write("config.ini",
               "[httpserver]\naddress=127.0.0.1\nport=41001\n"
               "[webserver]\naddress=192.168.4.20\nport=41002\n");
    testing::ScopedRecordingBackend notifications;
    config::ConfigurationController configuration(tree.root().string() + "/");
    RecordingLauncher launched;
    TrayOptions options;
    options.launcher = launched.launcher();
    options.paths = MenuPaths{"/ex", "/cfg/config.ini"};
    options.inputFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    options.allowDesktop = false;
    {
        TrayApplication application(std::string(bus::kConfigurationEndpoint), options);
        EXPECT_EQ(application.settings().httpAddress, "127.0.0.1");
        application.tray().entries()[2]->click();
        EXPECT_EQ(launched.lines().back(),
                  (CommandLine{"xdg-open", "http://192.168.4.20:41002/?port=41001&version=0.9.8"}));
        auto settings = application.settings();  // any loopback address is reached on 127.0.0.1
        settings.webAddress = "127.0.0.5";
        EXPECT_EQ(documentationUrl(settings), "http://127.0.0.1:41002/docs/index.html");
        auto running = std::async(std::launch::async, [&] { application.run(); });
        std::thread([&] { application.exit(); }).join();
        EXPECT_EQ(running.wait_for(5s), std::future_status::ready);
    }
    ::close(options.inputFd);
}

TEST(TrayEntries, TogglesFlipAndRenderTheMenuAgain) {
    CountingTray tray;
    std::vector<bool> seen;
    auto& toggle = static_cast<Toggle&>(tray.add(std::make_unique<Toggle>(
        "Start with the system", false, [&](bool on) { seen.push_back(on); })));
    auto& synced = static_cast<Toggle&>(tray.add(std::make_unique<SyncedToggle>("Sync", true)));
    toggle.click();
    toggle.click();
    synced.click();
    EXPECT_EQ(seen, (std::vector<bool>{true, false}));
    EXPECT_FALSE(synced.isOn());
    EXPECT_EQ(tray.updates, 3);
    EXPECT_EQ(kEntryKinds.nameOf(synced.kind()), "SyncedToggle");

    int pressed = 0;
    auto& image = tray.add(std::make_unique<ImageButton>("Logo", "logo.png", [&] { ++pressed; }));
    tray.add(std::make_unique<Separator>());
    image.click();
    EXPECT_EQ(pressed, 1);
    EXPECT_EQ(tray.updates, 3);  // buttons do not re-render
}

// "Stop all motion" asks the device service for motionAbortAll and shows each bundle's result;
// a silent service is told as such once the bound has passed.
TEST(StopAllMotion, PostsMotionAbortAllAndShowsEachBundlesResult) {
    testing::ScopedRecordingBackend notifications;
    const std::string endpoint = "inproc://test/tray-device";
    gateway::test::FakeService service(
        endpoint,
        [](const std::string&) {
            return std::optional<std::string>(R"({"data":[{"linkID":"KSIM0001","result":"ok"},)"
                                              R"({"acknowledged":false,"linkID":"KSIM0002",)"
                                              R"("result":"ok"}],"result":"ok"})");
        },
        false);
    const auto reply = stopAllMotion(endpoint, 5s);
    EXPECT_EQ(service.requests.waitFor(),
              std::vector<std::string>{R"({"command":"motionAbortAll"})"});
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(notifications->texts().back(),
              "Stop all motion | KSIM0001: ok\nKSIM0002: ok (not acknowledged)");

    EXPECT_FALSE(stopAllMotion("inproc://test/tray-nobody", 100ms).has_value());
    EXPECT_EQ(notifications->texts().back(),
              "Stop all motion | The device service did not answer.");
}

TEST(DesktopNotifications, WithoutASessionBusOrServerTheLoggingBackEndStays) {
    const char* previous = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    const std::string saved = previous != nullptr ? previous : "";
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    EXPECT_EQ(makeDesktopNotifications(), nullptr);
    // A bus that is not there: refused at once, well inside the bound.
    ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/kinetra-bus", 1);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(makeDesktopNotifications(500ms), nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    if (previous != nullptr) {
        ::setenv("DBUS_SESSION_BUS_ADDRESS", saved.c_str(), 1);
    }
}

}  // namespace
}  // namespace kinetra::tray
