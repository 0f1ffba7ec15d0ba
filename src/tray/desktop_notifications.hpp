// Notifications on the desktop's notification server (libnotify), with the question's buttons.
// Shown from any thread; button answers arrive on the back-end's own loop thread.
#pragma once

#include <chrono>
#include <memory>

#include "notify/notification_handler.hpp"

namespace kinetra::tray {

/// Default bound on asking the session bus whether a notification server is there.
inline constexpr std::chrono::milliseconds kNotificationServerTimeout{2000};

/// A back-end on the desktop's notification server, or null when this build has none or no
/// server answers within `bound`. It runs a small GLib loop on a thread of its own for the
/// answers, stopped and joined when it is destroyed. Call on the main thread, once.
std::shared_ptr<notify::NotificationBackend> makeDesktopNotifications(
    std::chrono::milliseconds bound = kNotificationServerTimeout);

/// The dismissal reason (0 user, 1 application, 2 timed out, 3 other) of a notification that
/// the server closed with the freedesktop reason code `serverReason` (1 expired, 2 dismissed by
/// the user, 3 closed by a call, others undefined).
constexpr int dismissalReason(int serverReason) {
    switch (serverReason) {
        case 1:
            return 2;
        case 2:
            return 0;
        case 3:
            return 1;
        default:
            return 3;
    }
}

}  // namespace kinetra::tray
