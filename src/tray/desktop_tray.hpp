// The tray on a desktop: an icon in the notification area (StatusNotifierItem through
// libayatana-appindicator, with GTK 3 for the menu). Runs GTK's loop on the main thread.
#pragma once

#include <memory>
#include <string>

#include "tray/tray_entry.hpp"

namespace kinetra::tray {

/// Whether this build carries the desktop back-end.
bool desktopTrayBuilt();

/// A desktop tray when a graphical session is present (DISPLAY or WAYLAND_DISPLAY) and GTK
/// starts; null otherwise. Call on the main thread, which then runs the tray.
std::unique_ptr<BaseTray> makeDesktopTray(std::string identifier, std::string iconPath);

}  // namespace kinetra::tray
