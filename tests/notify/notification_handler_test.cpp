#include "notify/notification_handler.hpp"

#include <gtest/gtest.h>

#include "support/recording_notifications.hpp"

namespace kinetra::notify {
namespace {

using testing::ScopedRecordingBackend;

// Counts what the question's answers do instead of opening editors and ending the test.
struct ActionLog {
    int opened = 0;
    std::vector<int> exits;
};

ActionLog& installActionLog() {
    static ActionLog log;
    log = {};
    setActions({[] { ++log.opened; }, [](int exitCode) { log.exits.push_back(exitCode); }});
    return log;
}

TEST(Notifications, BuildsTheThreeToastShapes) {
    ScopedRecordingBackend backend;
    notify("New Device found: ", "205F33A84E53");
    notify("Link connection is established.");
    ask("HTTP Server Error: could not bind to given port. ", "32222",
        "Do you want to close SDK and open configuration?", {"Yes", "Exit"});

    const auto shown = backend->shown();
    ASSERT_EQ(shown.size(), 3u);
    EXPECT_EQ(shown[0].toast.lines,
              (std::vector<std::string>{"New Device found: ", "205F33A84E53"}));
    EXPECT_EQ(shown[0].toast.layout, ToastTemplate::imageAndText02);
    EXPECT_EQ(shown[0].toast.expiration.count(), 5);
    EXPECT_EQ(shown[1].toast.lines.size(), 1u);
    EXPECT_EQ(shown[2].toast.layout, ToastTemplate::imageAndText04);
    EXPECT_EQ(shown[2].toast.lines.size(), 3u);
    EXPECT_EQ(shown[2].toast.actions, (std::vector<std::string>{"Yes", "Exit"}));
    EXPECT_EQ(shown[2].toast.expiration.count(), 30000);
    for (const auto& entry : shown) {
        EXPECT_EQ(entry.toast.imagePath, "../res/icon1.ico");
        EXPECT_EQ(entry.toast.attribution, "kinetra");
        EXPECT_NE(entry.events, nullptr);
    }
}

TEST(Notifications, YesOpensTheConfigurationThenEndsWithZero) {
    ScopedRecordingBackend backend;
    auto& actions = installActionLog();
    ask("a", "b", "c", {"Yes", "Exit"});
    backend->shown().at(0).events->toastActivated(0);
    EXPECT_EQ(actions.opened, 1);
    EXPECT_EQ(actions.exits, std::vector<int>{0});
}

TEST(Notifications, ExitEndsWithZeroWithoutOpeningAnything) {
    ScopedRecordingBackend backend;
    auto& actions = installActionLog();
    ask("a", "b", "c", {"Yes", "Exit"});
    backend->shown().at(0).events->toastActivated(1);
    EXPECT_EQ(actions.opened, 0);
    EXPECT_EQ(actions.exits, std::vector<int>{0});
}

TEST(Notifications, OtherAnswersAndDismissalsLeaveTheProcessAlone) {
    ScopedRecordingBackend backend;
    auto& actions = installActionLog();
    ask("a", "b", "c", {"Yes", "Exit"});
    auto events = backend->shown().at(0).events;
    events->toastActivated(2);
    events->toastActivated(-1);
    events->toastActivated();
    ::testing::internal::CaptureStdout();
    events->toastDismissed(2);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "The toast has timed out\n");
    EXPECT_EQ(actions.opened, 0);
    EXPECT_TRUE(actions.exits.empty());
}

TEST(Notifications, NamesEveryDismissalReason) {
    EXPECT_STREQ(dismissalText(0), "The user dismissed this toast");
    EXPECT_STREQ(dismissalText(1), "The application hid the toast using ToastNotifier.hide()");
    EXPECT_STREQ(dismissalText(2), "The toast has timed out");
    EXPECT_STREQ(dismissalText(3), "Toast not activated");
    EXPECT_STREQ(dismissalText(-7), "Toast not activated");
}

TEST(Notifications, AFailedShowDoesNotStopTheCaller) {
    ScopedRecordingBackend backend;
    backend->showSucceeds = false;
    notify("one");
    notify("two");
    EXPECT_EQ(backend->texts(), (std::vector<std::string>{"one", "two"}));
}

}  // namespace
}  // namespace kinetra::notify
