#include "tray/tray_application.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include <zmq.hpp>

#include <gtest/gtest.h>

#include "bus/socket_registry.hpp"
#include "bus/wait.hpp"
#include "config/configuration_controller.hpp"
#include "support/log_capture.hpp"
#include "support/recording_notifications.hpp"
#include "support/temporary_tree.hpp"
#include "tray/desktop_notifications.hpp"
#include "tray/motion_stop.hpp"
#include "tray_test_support.hpp"

namespace kinetra::tray {
namespace {

namespace fs = std::filesystem;

class TrayApplicationTest : public ::testing::Test {
protected:
    TrayApplicationTest() : input_(::open("/dev/null", O_RDONLY | O_CLOEXEC)) {}
    ~TrayApplicationTest() override { ::close(input_); }

    TrayOptions options(std::chrono::milliseconds timeout = 5s) {
        TrayOptions result;
        result.launcher = launched_.launcher();
        result.configurationTimeout = timeout;
        result.paths = MenuPaths{"/ex", "/cfg/config.ini"};
        result.inputFd = input_;
        result.allowDesktop = false;
        return result;
    }
    CommandLine webAppCommand(TrayApplication& application) {
        application.tray().entries()[2]->click();
        return launched_.lines().back();
    }

    int input_;
    RecordingLauncher launched_;
};

TEST_F(TrayApplicationTest, KeepsTheDefaultPortsWhenTheConfigurationServiceIsSilent) {
    testing::LogCapture log;
    // Nothing is bound there: the request waits out its bound.
    TrayApplication application("inproc://v1/configuration-silent", options(300ms));
    EXPECT_EQ(log.count("warning: Server configuration could not get from configuration "
                        "controller."),
              1);
    EXPECT_EQ(log.count("info: Server configuration will be iniated with default configuration."),
              1);
    EXPECT_EQ(webAppCommand(application),
              (CommandLine{"xdg-open", "http://127.0.0.1:32223/?port=32222&version=0.9.8"}));
    EXPECT_FALSE(application.usesDesktop());
    EXPECT_FALSE(application.acceptsAnswers());  // /dev/null is no terminal
    EXPECT_EQ(application.tray().identifier(), "kin_tray");
}

TEST_F(TrayApplicationTest, TakesThePortsFromTheConfigurationServicesReply) {
    testing::TemporaryTree tree;
    tree.write("config.ini",
               "[httpserver]\naddress=127.0.0.1\nport=41001\n"
               "[webserver]\naddress=0.0.0.0\nport=41002\n");
    testing::LogCapture log;  // made before the service thread that logs, dropped after
    testing::ScopedRecordingBackend notifications;
    config::ConfigurationController configuration(tree.root().string() + "/");
    TrayApplication application(std::string(bus::kConfigurationEndpoint), options());
    EXPECT_FALSE(log.has("warning: Server configuration could not get"));
    EXPECT_EQ(application.settings().httpAddress, "127.0.0.1");
    EXPECT_EQ(webAppCommand(application),
              (CommandLine{"xdg-open", "http://127.0.0.1:41002/?port=41001&version=0.9.8"}));
}

TEST_F(TrayApplicationTest, ExitFromAnotherThreadEndsRun) {
    TrayApplication application("inproc://v1/configuration-silent", options(1ms));
    auto running = std::async(std::launch::async, [&] { application.run(); });
    std::thread([&] { application.exit(); }).join();
    EXPECT_EQ(running.wait_for(5s), std::future_status::ready);
}

// "Stop all motion" asks the device service for motionAbortAll and shows each bundle's result;
// a silent service is told as such once the bound has passed.
TEST(StopAllMotion, PostsMotionAbortAllAndShowsEachBundlesResult) {
    testing::ScopedRecordingBackend notifications;
    const std::string endpoint = "inproc://test/tray-device";
    zmq::socket_t service(*bus::SocketRegistry::instance().context(), zmq::socket_type::rep);
    service.set(zmq::sockopt::linger, 0);
    service.bind(endpoint);
    std::string request;
    std::jthread answering([&] {
        if (const auto message = bus::receiveWithin(service, 5s)) {
            request = message->to_string();
            service.send(zmq::str_buffer(R"({"data":[{"linkID":"KSIM0001","result":"ok"},)"
                                         R"({"acknowledged":false,"linkID":"KSIM0002",)"
                                         R"("result":"ok"}],"result":"ok"})"),
                         zmq::send_flags::none);
        }
    });
    const auto reply = stopAllMotion(endpoint, 5s);
    answering.join();
    EXPECT_EQ(request, R"({"command":"motionAbortAll"})");
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(notifications->texts().back(),
              "Stop all motion | KSIM0001: ok\nKSIM0002: ok (not acknowledged)");

    EXPECT_FALSE(stopAllMotion("inproc://test/tray-nobody", 100ms).has_value());
    EXPECT_EQ(notifications->texts().back(),
              "Stop all motion | The device service did not answer.");
}

TEST(TrayIcon, PrefersThePngBesideTheIco) {
    testing::TemporaryTree tree;
    const fs::path root = tree.root();
    const auto previous = fs::current_path();
    fs::current_path(root / "bin");
    EXPECT_EQ(trayIconPath(), (root / "res/tray_icon.ico").string());  // neither exists yet
    tree.write("res/tray_icon.png", "png");
    EXPECT_EQ(trayIconPath(), (root / "res/tray_icon.png").string());
    EXPECT_EQ(installedPaths().configurationFile, (root / "cfg/config.ini").string());
    EXPECT_EQ(installedPaths().examplesFolder, (root / "examples").string());
    fs::current_path(previous);
}

// The notification server's closing reasons (1 to 3) and anything else.
TEST(DesktopNotifications, ServerClosingReasonsMapToTheDismissalTexts) {
    const std::pair<int, const char*> reasons[] = {
        {1, "The toast has timed out"},
        {2, "The user dismissed this toast"},
        {3, "The application hid the toast using ToastNotifier.hide()"},
        {4, "Toast not activated"},
        {-1, "Toast not activated"},
    };
    for (const auto& [code, text] : reasons) {
        EXPECT_STREQ(notify::dismissalText(dismissalReason(code)), text) << code;
    }
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
    if (previous != nullptr) {
        ::setenv("DBUS_SESSION_BUS_ADDRESS", saved.c_str(), 1);
    } else {
        ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    }
}

}  // namespace
}  // namespace kinetra::tray
