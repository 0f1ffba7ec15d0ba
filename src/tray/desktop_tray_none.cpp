// Builds without GTK and the app indicator library: there is never a desktop tray.
#include "tray/desktop_tray.hpp"

namespace kinetra::tray {

bool desktopTrayBuilt() {
    return false;
}

std::unique_ptr<BaseTray> makeDesktopTray(std::string /*identifier*/, std::string /*iconPath*/) {
    return nullptr;
}

}  // namespace kinetra::tray
