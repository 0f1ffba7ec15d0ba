#include "notify/notification_handler.hpp"

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include <spdlog/spdlog.h>

#include "platform/shell.hpp"

namespace kinetra::notify {
namespace {

constexpr std::chrono::milliseconds kNotifyExpiration{5};
constexpr std::chrono::milliseconds kAskExpiration{30000};

struct Settings {
    std::mutex mutex;  // guards backend and actions
    std::shared_ptr<NotificationBackend> backend = std::make_shared<LogBackend>();
    NotificationActions actions{
        [] { platform::openInEditor(kConfigurationFile); },
        [](int exitCode) { std::_Exit(exitCode); },
    };
};

Settings& settings() {
    static Settings instance;
    return instance;
}

NotificationActions currentActions() {
    std::lock_guard lock(settings().mutex);
    return settings().actions;
}

// Each toast gets its own ToastEvents for the answers. The back-end is asked before every toast
// whether it can show one, as it may have been replaced since the last.
void show(Toast toast) {
    auto current = backend();
    if (!current->supported()) {
        spdlog::warn("Error, your system in not supported!");
    }
    if (!current->initialise()) {
        spdlog::warn("Error, your system in not compatible!");
    }
    if (!current->show(toast, std::make_shared<ToastEvents>())) {
        spdlog::warn("Could not launch your toast notification!");
    }
}

}  // namespace

void setBackend(std::shared_ptr<NotificationBackend> newBackend) {
    std::lock_guard lock(settings().mutex);
    settings().backend = std::move(newBackend);
}

std::shared_ptr<NotificationBackend> backend() {
    std::lock_guard lock(settings().mutex);
    return settings().backend;
}

void setActions(NotificationActions actions) {
    std::lock_guard lock(settings().mutex);
    settings().actions = std::move(actions);
}

void notify(const std::string& title, const std::string& text) {
    show({ToastTemplate::imageAndText02,
          {title, text},
          {},
          kIconPath,
          kAttribution,
          kNotifyExpiration});
}

void notify(const std::string& text) {
    show({ToastTemplate::imageAndText02, {text}, {}, kIconPath, kAttribution, kNotifyExpiration});
}

void ask(const std::string& line1, const std::string& line2, const std::string& line3,
         const std::vector<std::string>& actions) {
    show({ToastTemplate::imageAndText04,
          {line1, line2, line3},
          actions,
          kIconPath,
          kAttribution,
          kAskExpiration});
}

void ToastEvents::toastActivated(int actionIndex) {
    const auto actions = currentActions();
    if (actionIndex == 0) {
        actions.openConfiguration();
        actions.endProcess(0);
    } else if (actionIndex == 1) {
        actions.endProcess(0);
    }
}

void ToastEvents::toastDismissed(int reason) {
    std::printf("%s\n", dismissalText(reason));
    std::fflush(stdout);
}

const char* dismissalText(int reason) {
    switch (reason) {
        case 0:
            return "The user dismissed this toast";
        case 1:
            return "The application hid the toast using ToastNotifier.hide()";
        case 2:
            return "The toast has timed out";
        default:
            return "Toast not activated";
    }
}

bool LogBackend::show(const Toast& toast, std::shared_ptr<ToastEvents> /*events*/) {
    for (const auto& line : toast.lines) {
        spdlog::info("Notification: {0}", line);
    }
    if (!toast.actions.empty()) {
        spdlog::info("Notification choices: {0}", fmt::join(toast.actions, " / "));
    }
    return true;
}

}  // namespace kinetra::notify
