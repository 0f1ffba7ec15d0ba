// Handing files, folders and addresses to the desktop: the configuration file to a text
// editor, web addresses to the browser. Fire and forget: nothing waits for the program.
#pragma once

#include <string>

namespace kinetra::platform {

/// Opens `path` in the desktop's text editor (xdg-open on Linux).
void openInEditor(const std::string& path);

/// Opens `url` in the default browser.
void openUrl(const std::string& url);

/// Opens `path` in the desktop's file manager.
void openFolder(const std::string& path);

}  // namespace kinetra::platform
