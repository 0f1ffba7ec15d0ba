#include "tray/tray_menu.hpp"

#include <gtest/gtest.h>

#include "tray_test_support.hpp"

namespace kinetra::tray {
namespace {

const MenuPaths kPaths{"/opt/kinetra/examples", "/opt/kinetra/cfg/config.ini"};

struct Shape {
    std::string kind;
    std::string text;
};

std::vector<Shape> shapeOf(const Entries& entries) {
    std::vector<Shape> shapes;
    for (const auto& entry : entries) {
        shapes.push_back({std::string(kEntryKinds.nameOf(entry->kind())), entry->text()});
    }
    return shapes;
}

TEST(TrayMenu, ListsTheEntriesInOrderWithTheirKindsAndTexts) {
    CountingTray tray;
    RecordingLauncher launched;
    buildMenu(tray, config::ServerSettings{}, kPaths, launched.launcher(), [] {});

    const auto top = shapeOf(tray.entries());
    const std::vector<std::pair<std::string, std::string>> expected{
        {"Button", "Stop all motion"}, {"Label", "kinetra SDK 0.9.8"},
        {"Button", "kinetra Web App"}, {"Button", "Examples"},
        {"Button", "Documentation"},   {"Button", "Configuration"},
        {"Submenu", "Utilities"},      {"Button", "Exit"}};
    ASSERT_EQ(top.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(top[i].kind, expected[i].first) << i;
        EXPECT_EQ(top[i].text, expected[i].second) << i;
    }
    const auto& utilities = static_cast<const Submenu&>(*tray.entries()[6]);
    const auto inner = shapeOf(utilities.entries());
    ASSERT_EQ(inner.size(), 2u);
    EXPECT_EQ(inner[0].text, "Link Firmware Update");
    EXPECT_EQ(inner[1].text, "SDK Version Update");
    for (const auto& entry : tray.entries()) {
        EXPECT_EQ(entry->tray(), &tray);
    }
    EXPECT_EQ(utilities.entries()[0]->tray(), &tray);
    EXPECT_FALSE(tray.entries()[1]->clickable());
    EXPECT_TRUE(launched.lines().empty());
}

TEST(TrayMenu, EachEntryRunsItsCommandLineWithoutAShell) {
    CountingTray tray;
    RecordingLauncher launched;
    int stops = 0;
    buildMenu(tray, config::ServerSettings{}, kPaths, launched.launcher(), [&] { ++stops; });
    tray.entries()[0]->click();
    EXPECT_EQ(stops, 1);
    for (std::size_t i = 2; i <= 5; ++i) {
        tray.entries()[i]->click();
    }
    for (const auto& entry : static_cast<const Submenu&>(*tray.entries()[6]).entries()) {
        entry->click();
    }
    const std::vector<CommandLine> expected{
        // A plain "&": the address is one argument, no shell sees it.
        {"xdg-open", "http://127.0.0.1:32223/?port=32222&version=0.9.8"},
        {"xdg-open", "/opt/kinetra/examples"},
        {"xdg-open", "http://127.0.0.1:32223/docs/index.html"},
        {"xdg-open", "/opt/kinetra/cfg/config.ini"},
        {"xdg-open", "http://127.0.0.1:32223/firmware-update"},
        {"xdg-open", "https://kinetra.io/downloads/sdk?current_version=0.9.8"},
    };
    EXPECT_EQ(launched.lines(), expected);
    EXPECT_EQ(tray.exits, 0);
    tray.entries()[7]->click();
    EXPECT_EQ(tray.exits, 1);
    EXPECT_EQ(launched.lines().size(), expected.size());
    EXPECT_EQ(stops, 1);
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
