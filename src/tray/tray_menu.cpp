// The menu table and its actions. Every address and path is handed to xdg-open as one argv
// element, never through a shell, so nothing needs escaping: the web-app URL keeps a plain "&"
// (a command shell would need "^&" there).
#include "tray/tray_menu.hpp"

#include "core/version.hpp"

namespace kinetra::tray {
namespace {

constexpr const char* kOpener = "xdg-open";

// A button whose action hands `target` to the desktop's opener.
std::unique_ptr<TrayEntry> opener(std::string text, std::string target, const Launcher& launch) {
    return std::make_unique<Button>(std::move(text), [launch, target = std::move(target)] {
        launch({kOpener, target});
    });
}

}  // namespace

std::string webAppBase(const config::ServerSettings& settings) {
    const auto& address = settings.webAddress;
    const bool loopback = address.empty() || address == "0.0.0.0" || address.starts_with("127.");
    return "http://" + (loopback ? std::string("127.0.0.1") : address) + ":" + settings.webPort;
}

std::string webAppUrl(const config::ServerSettings& settings) {
    return webAppBase(settings) + "/?port=" + settings.httpPort +
           "&version=" + std::string(core::kVersionText);
}

std::string documentationUrl(const config::ServerSettings& settings) {
    return webAppBase(settings) + "/docs/index.html";
}

std::string firmwareUpdateUrl(const config::ServerSettings& settings) {
    return webAppBase(settings) + "/firmware-update";
}

std::string sdkUpdateUrl() {
    return std::string(kSdkUpdatePage) + std::string(core::kVersionText);
}

void buildMenu(BaseTray& tray, const config::ServerSettings& settings, const MenuPaths& paths,
               Launcher launcher, std::function<void()> stopAllMotion) {
    // First, where a hurried hand finds it.
    tray.add(std::make_unique<Button>("Stop all motion", std::move(stopAllMotion)));
    tray.add(std::make_unique<Label>("kinetra SDK " + std::string(core::kVersionText)));
    tray.add(opener("kinetra Web App", webAppUrl(settings), launcher));
    tray.add(opener("Examples", paths.examplesFolder, launcher));
    tray.add(opener("Documentation", documentationUrl(settings), launcher));
    // The file goes to the desktop's handler for .ini text (the user's editor of choice); an
    // absolute path because the opener may hand it to an editor that resolves it elsewhere.
    tray.add(opener("Configuration", paths.configurationFile, launcher));
    auto utilities = std::make_unique<Submenu>("Utilities");
    utilities->add(opener("Link Firmware Update", firmwareUpdateUrl(settings), launcher));
    utilities->add(opener("SDK Version Update", sdkUpdateUrl(), launcher));
    tray.add(std::move(utilities));
    tray.add(std::make_unique<Button>("Exit", [&tray] { tray.exit(); }));
}

}  // namespace kinetra::tray
