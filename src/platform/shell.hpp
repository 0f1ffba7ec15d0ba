// Handing files, folders and addresses to the desktop: the configuration file to a text
// editor, web addresses to the browser. Fire and forget: nothing waits for the program.
#pragma once

#include <string>
#include <vector>

namespace kinetra::platform {

/// Opens `path` in the desktop's text editor (xdg-open on Linux).
void openInEditor(const std::string& path);

/// Opens `url` in the default browser.
void openUrl(const std::string& url);

/// Opens `path` in the desktop's file manager.
void openFolder(const std::string& path);

/// Starts `commandLine` (program, then its arguments; the program is looked up in PATH) without
/// a shell and without waiting for it. False when no process could be made (a program that
/// cannot be executed is not seen: the detached child ends with 127).
bool runDetached(const std::vector<std::string>& commandLine);

}  // namespace kinetra::platform
