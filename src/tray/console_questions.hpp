// The two-button question on a console: printed when a service asks (any thread), answered by
// typing one of its buttons at the console tray's prompt (tray thread). Also the one writer to
// the console tray's output, so a question never lands inside a menu line.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "notify/notification_handler.hpp"

namespace kinetra::tray {

class ConsoleQuestions {
public:
    /// Writes to `outputFd` (not owned; must outlive this object).
    explicit ConsoleQuestions(int outputFd) : outputFd_(outputFd) {}

    /// Prints `toast`'s lines and buttons; the question stays pending until answered or
    /// replaced by the next one.
    void ask(const notify::Toast& toast, std::shared_ptr<notify::ToastEvents> events);
    /// When `typed` names a button of the pending question (ignoring case), answers it with
    /// that button's index and returns true.
    bool answer(std::string_view typed);
    bool pending() const;
    /// Writes `text` whole.
    void print(std::string_view text);

private:
    void write(std::string_view text);  // caller holds mutex_

    const int outputFd_;
    mutable std::mutex mutex_;  // guards actions_, events_ and writes to outputFd_
    std::vector<std::string> actions_;
    std::shared_ptr<notify::ToastEvents> events_;
};

/// Notification back-end for a console tray: logs every text like the logging back-end and
/// puts questions on the console, where they can be answered.
class ConsoleNotificationBackend : public notify::NotificationBackend {
public:
    explicit ConsoleNotificationBackend(std::shared_ptr<ConsoleQuestions> questions)
        : questions_(std::move(questions)) {}
    bool show(const notify::Toast& toast, std::shared_ptr<notify::ToastEvents> events) override;

private:
    notify::LogBackend log_;
    std::shared_ptr<ConsoleQuestions> questions_;
};

}  // namespace kinetra::tray
