// Builds without libnotify: notifications stay with the logging or console back-end.
#include "tray/desktop_notifications.hpp"

namespace kinetra::tray {

std::shared_ptr<notify::NotificationBackend> makeDesktopNotifications(
    std::chrono::milliseconds /*bound*/) {
    return nullptr;
}

}  // namespace kinetra::tray
