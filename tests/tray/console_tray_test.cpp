#include "tray/console_tray.hpp"

#include <future>

#include <gtest/gtest.h>

#include "notify/notification_handler.hpp"
#include "tray/console_questions.hpp"
#include "tray_test_support.hpp"

namespace kinetra::tray {
namespace {

// What the question's answers did, instead of opening an editor and ending the test.
struct Answers {
    std::mutex mutex;  // guards opened and exits
    int opened = 0;
    std::vector<int> exits;
};

class ConsoleTrayTest : public ::testing::Test {
protected:
    ConsoleTrayTest()
        : questions_(std::make_shared<ConsoleQuestions>(terminal_.slave())),
          tray_("kin_tray", "../res/tray_icon.ico", terminal_.slave(), questions_) {
        buildMenu(tray_, config::ServerSettings{}, {"/ex", "/cfg/config.ini"}, launched_.launcher(),
                  [] {});
        notify::setActions({[this] {
                                std::lock_guard lock(answers_.mutex);
                                ++answers_.opened;
                            },
                            [this](int code) {
                                std::lock_guard lock(answers_.mutex);
                                answers_.exits.push_back(code);
                            }});
    }
    ~ConsoleTrayTest() override {
        tray_.exit();
        if (running_.valid()) {
            running_.wait_for(5s);
        }
        notify::setActions({[] {}, [](int) {}});
        notify::setBackend(std::make_shared<notify::LogBackend>());
    }

    void start(const std::string& shown) {
        running_ = std::async(std::launch::async, [this] { tray_.run(); });
        ASSERT_TRUE(terminal_.waitForOutput(shown));
    }

    PseudoTerminal terminal_;
    RecordingLauncher launched_;
    Answers answers_;
    std::shared_ptr<ConsoleQuestions> questions_;
    ConsoleTray tray_;
    std::future<void> running_;
};

// The menu is printed numbered and runs the typed choice. A question is printed whole and
// answered by name in any case; the menu works again after. "Yes" opens the configuration and
// ends; "Exit" only ends. A notice without buttons asks nothing.
TEST_F(ConsoleTrayTest, PrintsTheMenuNumberedRunsTheTypedChoiceAndTakesAnswersByName) {
    EXPECT_TRUE(tray_.interactive());
    notify::setBackend(std::make_shared<ConsoleNotificationBackend>(questions_));
    // Asked before the tray runs, as a port conflict at start-up is.
    notify::ask("HTTP Server Error: could not bind to given port. ", "32222",
                "Do you want to close SDK and open configuration?", {"Yes", "Exit"});
    EXPECT_TRUE(questions_->pending());
    EXPECT_TRUE(
        terminal_.waitForOutput("  HTTP Server Error: could not bind to given port. \n"
                                "  32222\n"
                                "  Do you want to close SDK and open configuration?\n"
                                "  Answer with: \"Yes\" \"Exit\"\n"));
    start(
        "kin_tray:\n"
        "  1. Stop all motion\n"
        "  kinetra SDK 0.9.8\n"
        "  2. kinetra Web App\n"
        "  3. Examples\n"
        "  4. Documentation\n"
        "  5. Configuration\n"
        "  Utilities\n"
        "     6. Link Firmware Update\n"
        "     7. SDK Version Update\n"
        "  8. Exit\n");
    terminal_.type("yes\n2\n 7 \n");
    ASSERT_TRUE(launched_.waitForCount(2));
    EXPECT_FALSE(questions_->pending());
    EXPECT_EQ(launched_.lines()[0],
              (CommandLine{"xdg-open", "http://127.0.0.1:32223/?port=32222&version=0.9.8"}));
    EXPECT_EQ(launched_.lines()[1],
              (CommandLine{"xdg-open", "https://kinetra.io/downloads/sdk?current_version=0.9.8"}));

    terminal_.type("0\n9\nExit\n");
    EXPECT_TRUE(
        terminal_.waitForOutput("No menu entry \"0\".\nNo menu entry \"9\".\n"
                                "No menu entry \"Exit\".\n"));  // no question pending
    notify::notify("Link connection is established.");
    EXPECT_FALSE(questions_->pending());
    notify::ask("Web application error", "32223",
                "Do you want to close SDK and open configuration?", {"Yes", "Exit"});
    ASSERT_TRUE(terminal_.waitForOutput("Answer with: \"Yes\" \"Exit\"\n"));
    terminal_.type("EXIT\n3\n");
    ASSERT_TRUE(launched_.waitForCount(3));
    {
        std::lock_guard lock(answers_.mutex);
        EXPECT_EQ(answers_.opened, 1);
        EXPECT_EQ(answers_.exits, (std::vector<int>{0, 0}));
    }

    terminal_.type("8\n");
    EXPECT_EQ(running_.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(launched_.lines().size(), 3u);
}

}  // namespace
}  // namespace kinetra::tray
