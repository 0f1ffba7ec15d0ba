#include "notify/notification_handler.hpp"

#include <optional>

#include <gtest/gtest.h>

#include "support/recording_notifications.hpp"

namespace kinetra::notify {
namespace {

using testing::ScopedRecordingBackend;

TEST(Notifications, BuildsTheThreeToastShapes) {
    ScopedRecordingBackend backend;
    backend->showSucceeds = false;  // a failed show does not stop the caller
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
    }
}

// Yes opens the configuration, then both end the process with 0; any other answer and every
// dismissal leave it alone. The actions are counted instead of opening editors and exiting.
TEST(Notifications, AnswersToTheQuestionOpenTheConfigurationOrEndTheProcess) {
    static int opened = 0;
    static std::vector<int> exits;
    setActions({[] { ++opened; }, [](int exitCode) { exits.push_back(exitCode); }});
    const struct {
        std::optional<int> answer;  // nothing: dismissed (timed out)
        int opened;
        std::vector<int> exits;
    } cases[] = {{0, 1, {0}}, {1, 0, {0}}, {2, 0, {}}, {-1, 0, {}}, {std::nullopt, 0, {}}};
    for (const auto& c : cases) {
        ScopedRecordingBackend backend;
        opened = 0;
        exits.clear();
        ask("a", "b", "c", {"Yes", "Exit"});
        const auto events = backend->shown().at(0).events;
        if (c.answer) {
            events->toastActivated(*c.answer);
        } else {
            ::testing::internal::CaptureStdout();
            events->toastDismissed(2);
            EXPECT_EQ(::testing::internal::GetCapturedStdout(), "The toast has timed out\n");
        }
        EXPECT_EQ(std::pair(opened, exits), std::pair(c.opened, c.exits)) << c.answer.value_or(99);
    }
    EXPECT_STREQ(dismissalText(0), "The user dismissed this toast");
    EXPECT_STREQ(dismissalText(1), "The application hid the toast using ToastNotifier.hide()");
    EXPECT_STREQ(dismissalText(-7), "Toast not activated");
}

}  // namespace
}  // namespace kinetra::notify
