// Desktop notifications ("toasts") for events a user should see without opening a window, and
// the two-button question whose answers can end the process. Free functions, callable from any
// thread that meets the event; the back-end that renders them is process-wide and injectable.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kinetra::notify {

enum class ToastTemplate { imageAndText02, text02, imageAndText04, text04 };

/// One notification as handed to a back-end.
struct Toast {
    ToastTemplate layout = ToastTemplate::text02;
    std::vector<std::string> lines;    // one to three text lines
    std::vector<std::string> actions;  // button labels, in order
    std::string imagePath;
    std::string attribution;
    std::chrono::milliseconds expiration{0};
};

class ToastEvents;

/// Renders toasts. Implementations must be callable from any thread.
class NotificationBackend {
public:
    virtual ~NotificationBackend() = default;
    virtual bool supported() const { return true; }
    virtual bool initialise() { return true; }
    /// Shows `toast`; user answers reach `events`. False when the toast could not be shown.
    virtual bool show(const Toast& toast, std::shared_ptr<ToastEvents> events) = 0;
};

/// What the question's two answers do. Replaced by the entry point (orderly shutdown) and by
/// tests; the defaults open the file with the desktop's editor and end the process at once.
struct NotificationActions {
    std::function<void()> openConfiguration;
    std::function<void(int exitCode)> endProcess;
};

inline constexpr const char* kIconPath = "../res/icon1.ico";
inline constexpr const char* kAttribution = "kinetra";
inline constexpr const char* kConfigurationFile = "../cfg/config.ini";

/// Two-line toast: title and text.
void notify(const std::string& title, const std::string& text);
/// One-line toast.
void notify(const std::string& text);
/// Three-line question with one button per action, in order.
void ask(const std::string& line1, const std::string& line2, const std::string& line3,
         const std::vector<std::string>& actions);

/// Installs the process-wide back-end (the default logs every toast's texts).
void setBackend(std::shared_ptr<NotificationBackend> backend);
std::shared_ptr<NotificationBackend> backend();
/// Installs what the question's answers do.
void setActions(NotificationActions actions);

/// Where a back-end reports the user's answer to one toast. Each toast gets its own, so an
/// answer never touches a service that may be gone by the time the user clicks.
class ToastEvents {
public:
    virtual ~ToastEvents() = default;

    /// Button `actionIndex` was chosen: 0 opens the configuration and ends the process with 0,
    /// 1 ends it with 0, others do nothing.
    virtual void toastActivated(int actionIndex);
    virtual void toastActivated() {}
    /// The toast went away without an answer; writes one line naming why.
    virtual void toastDismissed(int reason);
    virtual void toastFailed() {}
};

/// The text written for a dismissal reason.
const char* dismissalText(int reason);

/// The default back-end: logs each notification's texts at info level.
class LogBackend : public NotificationBackend {
public:
    bool show(const Toast& toast, std::shared_ptr<ToastEvents> events) override;
};

}  // namespace kinetra::notify
