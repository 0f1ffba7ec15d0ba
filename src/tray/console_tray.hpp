// The tray without a desktop: the menu printed as a numbered list on the console, a number read
// from a terminal runs that entry. Runs on the main thread; exit() may come from any thread.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/stop_signal.hpp"
#include "tray/console_questions.hpp"
#include "tray/tray_entry.hpp"

namespace kinetra::tray {

class ConsoleTray : public BaseTray {
public:
    /// Reads choices from `inputFd` when it is a terminal and prints through `questions`
    /// (which may already hold a question asked before the tray existed). `inputFd` is not
    /// owned and must outlive the tray.
    ConsoleTray(std::string identifier, std::string iconPath, int inputFd,
                std::shared_ptr<ConsoleQuestions> questions);

    /// Prints the menu and acts on typed numbers (or a pending question's buttons) until
    /// exit(). Without a terminal on input, only waits for exit().
    void run() override;
    void exit() override { stop_.set(); }
    /// Prints the menu again with fresh numbers.
    void update() override;

    /// Whether choices are read (the input is a terminal).
    bool interactive() const { return interactive_; }
    /// Where questions are put to the user of this console.
    std::shared_ptr<ConsoleQuestions> questions() const { return questions_; }

private:
    void handleLine(std::string line);
    // Reads what the terminal has; false once it is closed.
    bool readInput();

    const int inputFd_;
    const bool interactive_;
    std::shared_ptr<ConsoleQuestions> questions_;
    std::vector<TrayEntry*> choices_;  // the clickable entries by number - 1, tray thread only
    std::string pendingInput_;         // bytes of an unfinished line, tray thread only
    platform::StopSignal stop_;
};

}  // namespace kinetra::tray
