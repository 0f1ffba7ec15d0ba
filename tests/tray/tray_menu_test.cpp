#include "tray/tray_menu.hpp"

#include <gtest/gtest.h>

#include "tray_test_support.hpp"

namespace kinetra::tray {
namespace {

const MenuPaths kPaths{"/opt/kinetra/examples", "/opt/kinetra/cfg/config.ini"};

// Every entry in menu order with its kind and text, and the command line a click runs: without
// a shell, so the "&" of the address stays inside its one argument.
TEST(TrayMenu, ListsTheEntriesInOrderAndEachRunsItsCommandLine) {
    CountingTray tray;
    RecordingLauncher launched;
    int stops = 0;
    buildMenu(tray, config::ServerSettings{}, kPaths, launched.launcher(), [&] { ++stops; });
    auto& utilities = static_cast<Submenu&>(*tray.entries()[6]);
    const struct {
        TrayEntry& entry;
        const char* kind;
        const char* text;
        CommandLine runs;  // empty: runs nothing
    } rows[] = {
        {*tray.entries()[0], "Button", "Stop all motion", {}},
        {*tray.entries()[1], "Label", "kinetra SDK 0.9.8", {}},
        {*tray.entries()[2],
         "Button",
         "kinetra Web App",
         {"xdg-open", "http://127.0.0.1:32223/?port=32222&version=0.9.8"}},
        {*tray.entries()[3], "Button", "Examples", {"xdg-open", "/opt/kinetra/examples"}},
        {*tray.entries()[4],
         "Button",
         "Documentation",
         {"xdg-open", "http://127.0.0.1:32223/docs/index.html"}},
        {*tray.entries()[5],
         "Button",
         "Configuration",
         {"xdg-open", "/opt/kinetra/cfg/config.ini"}},
        {utilities, "Submenu", "Utilities", {}},
        {*utilities.entries()[0],
         "Button",
         "Link Firmware Update",
         {"xdg-open", "http://127.0.0.1:32223/firmware-update"}},
        {*utilities.entries()[1],
         "Button",
         "SDK Version Update",
         {"xdg-open", "https://kinetra.io/downloads/sdk?current_version=0.9.8"}},
        {*tray.entries()[7], "Button", "Exit", {}},
    };
    ASSERT_EQ(tray.entries().size(), 8u);
    ASSERT_EQ(utilities.entries().size(), 2u);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(kEntryKinds.nameOf(row.entry.kind()), row.kind);
        EXPECT_EQ(row.entry.text(), row.text);
        EXPECT_EQ(row.entry.tray(), &tray);
        const auto before = launched.lines().size();
        if (row.entry.clickable()) {
            row.entry.click();
        }
        if (row.runs.empty()) {
            EXPECT_EQ(launched.lines().size(), before);
        } else {
            ASSERT_EQ(launched.lines().size(), before + 1);
            EXPECT_EQ(launched.lines().back(), row.runs);
        }
    }
    EXPECT_FALSE(tray.entries()[1]->clickable());
    EXPECT_EQ(stops, 1);
    EXPECT_EQ(tray.exits, 1);
}

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
