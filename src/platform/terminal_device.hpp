// Whether a path names a serial terminal, decided without opening it (opening some character
// devices has effects of its own). Called by the device service's thread before a port is used.
#pragma once

#include <string>

namespace kinetra::platform {

/// What a port name leads to.
enum class PortKind {
    missing,   ///< nothing there (the device may have gone between listing and use)
    terminal,  ///< a serial line or pseudo-terminal a link module may sit on
    other,     ///< a regular file, a folder, a console or any other device
};

/// Classifies `path` (symbolic links followed).
PortKind portKind(const std::string& path);

}  // namespace kinetra::platform
