// Console questions: printed from the thread that asks, answered on the tray thread.
#include "tray/console_questions.hpp"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>

namespace kinetra::tray {
namespace {

bool sameIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

}  // namespace

void ConsoleQuestions::ask(const notify::Toast& toast,
                           std::shared_ptr<notify::ToastEvents> events) {
    std::string text = "\n";
    for (const auto& line : toast.lines) {
        text += "  " + line + "\n";
    }
    text += "  Answer with:";
    for (const auto& action : toast.actions) {
        text += " \"" + action + "\"";
    }
    text += "\n";
    std::lock_guard lock(mutex_);
    actions_ = toast.actions;
    events_ = std::move(events);
    write(text);
}

bool ConsoleQuestions::answer(std::string_view typed) {
    std::shared_ptr<notify::ToastEvents> events;
    int index = 0;
    {
        std::lock_guard lock(mutex_);
        const auto found = std::find_if(actions_.begin(), actions_.end(), [&](const auto& action) {
            return sameIgnoringCase(action, typed);
        });
        if (found == actions_.end() || !events_) {
            return false;
        }
        index = static_cast<int>(found - actions_.begin());
        events = std::move(events_);
        actions_.clear();
    }
    // Outside the lock: an answer may end the process, which prints on its way out.
    events->toastActivated(index);
    return true;
}

bool ConsoleQuestions::pending() const {
    std::lock_guard lock(mutex_);
    return events_ != nullptr;
}

void ConsoleQuestions::print(std::string_view text) {
    std::lock_guard lock(mutex_);
    write(text);
}

void ConsoleQuestions::write(std::string_view text) {
    while (!text.empty()) {
        const auto written = ::write(outputFd_, text.data(), text.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return;  // a closed console: nothing left to show it to
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
}

bool ConsoleNotificationBackend::show(const notify::Toast& toast,
                                      std::shared_ptr<notify::ToastEvents> events) {
    log_.show(toast, events);
    if (!toast.actions.empty()) {
        questions_->ask(toast, std::move(events));
    }
    return true;
}

}  // namespace kinetra::tray
