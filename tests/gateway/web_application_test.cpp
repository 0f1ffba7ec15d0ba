// The web application launcher against a shell script standing in for the web server, laid out
// as in an installation: the server runs in bin/, the web application in www/.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>

#include "gateway/server.hpp"
#include "gateway/web_application.hpp"
#include "gateway_test_support.hpp"
#include "support/recording_notifications.hpp"
#include "support/temporary_tree.hpp"
#include "webserver/exit_status.hpp"

namespace kinetra::gateway {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Records its working directory and arguments, then ends with the code in the file `code` or,
// without one, runs until it is killed (exec, so the recorded pid is the running program).
constexpr const char* kStandIn = R"sh(#!/bin/sh
{ pwd; echo "$#"; printf '%s\n' "$@"; } > started.tmp
echo $$ > pid
mv started.tmp started
if [ -e code ]; then exit "$(cat code)"; fi
exec sleep 600
)sh";

// Writes its arguments where the test can read them, instead of opening a browser.
constexpr const char* kFakeXdgOpen = R"sh(#!/bin/sh
printf '%s\n' "$@" > "$(dirname "$0")/opened.tmp"
mv "$(dirname "$0")/opened.tmp" "$(dirname "$0")/opened"
)sh";

// False once the stand-in (a child of this process) has ended, reaped or not.
bool alive(int pid) {
    siginfo_t info{};
    return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == 0;
}

config::ServerSettings settings() {
    config::ServerSettings result = test::kLoopback;
    result.webPort = "40123";
    result.httpPort = "40122";
    return result;
}

// The install tree with the stand-in as the web server; the test runs in its bin/.
class WebApplicationTest : public ::testing::Test {
protected:
    WebApplicationTest() {
        tree_.write("www/kinetra_sdk_webserver", kStandIn);
        fs::permissions(www() / "kinetra_sdk_webserver", fs::perms::owner_all);
        fs::current_path(tree_.bin());
    }
    ~WebApplicationTest() override { fs::current_path(previous_); }

    fs::path www() const { return tree_.root() / "www"; }

    /// The stand-in's pid once it has recorded its start; 0 when it did not start in time.
    int startedPid() const {
        if (!test::waitUntil([&] { return fs::exists(www() / "started"); })) {
            return 0;
        }
        return std::stoi(tree_.read("www/pid"));
    }

    kinetra::testing::TemporaryTree tree_;
    fs::path previous_ = fs::current_path();
};

TEST_F(WebApplicationTest, ABindFailureAsksOnceThenWarnsAndOtherEndingsAreOnlyLogged) {
    testing::ScopedRecordingBackend toasts;
    test::LogCapture logs;
    const std::string warning = "warning: Web server could not bind to 40123.";
    for (const std::string code : {"0", "99"}) {
        tree_.write("www/code", code);
        fs::remove(www() / "started");
        WebApplicationLauncher launcher(settings());
        const int pid = startedPid();
        ASSERT_NE(pid, 0) << code;
        // Destroying the launcher after the exit still lets it look at the exit status.
        ASSERT_TRUE(test::waitUntil([&] { return !alive(pid); })) << code;
    }
    EXPECT_TRUE(toasts->shown().empty());
    EXPECT_FALSE(logs.has("warning: Web server could not bind"));

    tree_.write("www/code", std::to_string(webserver::kBindFailureExitStatus));
    {
        WebApplicationLauncher launcher(settings());
        ASSERT_TRUE(test::waitUntil([&] { return !toasts->shown().empty(); }));
        const auto asked = Clock::now();
        EXPECT_EQ(logs.count(warning), 0);
        ASSERT_TRUE(test::waitUntil([&] { return logs.count(warning) == 1; }));
        const auto gap = Clock::now() - asked;
        EXPECT_GE(gap, 900ms);
        EXPECT_LT(gap, 2000ms);
    }
    const auto shown = toasts->shown();
    ASSERT_EQ(shown.size(), 1U);
    const auto& toast = shown.front().toast;
    EXPECT_EQ(toast.lines,
              (std::vector<std::string>{"Web server could not bind to port. ", "40123",
                                        "Do you want to close SDK and open configuration?"}));
    EXPECT_EQ(toast.actions, (std::vector<std::string>{"Yes", "Exit"}));
    EXPECT_EQ(logs.count(warning), 1);

    fs::remove(www() / "kinetra_sdk_webserver");
    { WebApplicationLauncher missing(settings()); }
    EXPECT_EQ(
        logs.count("info: Could not start the web application (../www/kinetra_sdk_webserver): "
                   "execve failed, error 2 (No such file or directory)."),
        1);
}

TEST_F(WebApplicationTest, RunsInWwwOpensTheBrowserAndEndsWithTheServer) {
    const fs::path tools = tree_.root() / "firmware";  // any folder of the tree will do
    tree_.write("firmware/xdg-open", kFakeXdgOpen);
    fs::permissions(tools / "xdg-open", fs::perms::owner_all);
    const std::string path = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
    ::setenv("PATH", (tools.string() + ":" + path).c_str(), 1);
    int pid = 0;
    {
        Server server(settings());
        server.launchWebApplication();
        pid = startedPid();
        ASSERT_NE(pid, 0);
        EXPECT_EQ(tree_.read("www/started"),
                  fs::canonical(www()).string() + "\n2\n127.0.0.1\n40123\n");
        EXPECT_TRUE(alive(pid));

        const auto before = Clock::now();
        server.openWebApplication(300ms);
        EXPECT_GE(Clock::now() - before, 300ms);
        EXPECT_TRUE(test::waitUntil([&] { return fs::exists(tools / "opened"); }));
        ::setenv("PATH", path.c_str(), 1);
        EXPECT_EQ(tree_.read("firmware/opened"),
                  "http://127.0.0.1:40123/?port=40122&version=0.9.8\n");
    }
    // Killed and reaped by the launcher before the Server's destructor returned.
    EXPECT_FALSE(alive(pid));

    // Bound to every address: still opened on loopback. Bound to one other address: only
    // there can the browser reach it.
    config::ServerSettings any = settings();
    any.webAddress = "0.0.0.0";
    EXPECT_EQ(webApplicationAddress(any), "http://127.0.0.1:40123/?port=40122&version=0.9.8");
    any.webAddress = "192.168.7.20";
    EXPECT_EQ(webApplicationAddress(any), "http://192.168.7.20:40123/?port=40122&version=0.9.8");
}

}  // namespace
}  // namespace kinetra::gateway
