#include "tray/tray_menu.hpp"

#include <gtest/gtest.h>

#include "tray_test_support.hpp"

namespace kinetra::tray {
namespace {

TEST(TrayMenu, AddressesFollowTheConfiguredPortsAndASingleListeningAddress) {
    config::ServerSettings settings;
    settings.webPort = "8080";
    settings.httpPort = "9090";
    EXPECT_EQ(webAppUrl(settings), "http://127.0.0.1:8080/?port=9090&version=0.9.8");
    settings.webAddress = "127.0.0.1";
    EXPECT_EQ(webAppBase(settings), "http://127.0.0.1:8080");
    // Bound to one other address only, the web application is not reachable on loopback.
    settings.webAddress = "192.168.4.20";
    EXPECT_EQ(documentationUrl(settings), "http://192.168.4.20:8080/docs/index.html");
    EXPECT_EQ(firmwareUpdateUrl(settings), "http://192.168.4.20:8080/firmware-update");
}

TEST(TrayEntries, TogglesFlipAndRenderTheMenuAgain) {
    CountingTray tray;
    std::vector<bool> seen;
    auto& toggle = static_cast<Toggle&>(tray.add(std::make_unique<Toggle>(
        "Start with the system", false, [&](bool on) { seen.push_back(on); })));
    auto& synced = static_cast<Toggle&>(tray.add(std::make_unique<SyncedToggle>("Sync", true)));
    toggle.click();
    toggle.click();
    synced.click();
    EXPECT_EQ(seen, (std::vector<bool>{true, false}));
    EXPECT_FALSE(synced.isOn());
    EXPECT_EQ(tray.updates, 3);
    EXPECT_EQ(kEntryKinds.nameOf(synced.kind()), "SyncedToggle");

    int pressed = 0;
    auto& image = tray.add(std::make_unique<ImageButton>("Logo", "logo.png", [&] { ++pressed; }));
    tray.add(std::make_unique<Separator>());
    image.click();
    EXPECT_EQ(pressed, 1);
    EXPECT_EQ(tray.updates, 3);  // buttons do not re-render
}

}  // namespace
}  // namespace kinetra::tray
