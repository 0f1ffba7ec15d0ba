// The desktop tray: an app indicator whose menu is rebuilt from the entry list. All GTK calls
// run on the main thread; exit() from another thread only queues an idle callback on GTK's loop.
#include <gtk/gtk.h>
#include <libayatana-appindicator/app-indicator.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>

#include <spdlog/spdlog.h>

#include "tray/desktop_tray.hpp"

namespace kinetra::tray {
namespace {

// Shown when the icon file is missing, so the menu stays reachable.
constexpr const char* kFallbackIcon = "applications-multimedia";
// Bound on the events handled after the loop ends (the icon's removal reaching the host).
constexpr int kFlushIterations = 100;

void onActivate(GtkMenuItem* /*item*/, gpointer entry) {
    static_cast<TrayEntry*>(entry)->click();
}

gboolean quitLoop(gpointer /*unused*/) {
    if (gtk_main_level() > 0) {
        gtk_main_quit();
    }
    return G_SOURCE_REMOVE;
}

GtkWidget* buildMenu(const Entries& entries) {
    GtkWidget* menu = gtk_menu_new();
    for (const auto& entry : entries) {
        GtkWidget* item = nullptr;
        switch (entry->kind()) {
            case EntryKind::separator:
                item = gtk_separator_menu_item_new();
                break;
            case EntryKind::label:
                item = gtk_menu_item_new_with_label(entry->text().c_str());
                gtk_widget_set_sensitive(item, FALSE);
                break;
            case EntryKind::submenu:
                item = gtk_menu_item_new_with_label(entry->text().c_str());
                gtk_menu_item_set_submenu(GTK_MENU_ITEM(item),
                                          buildMenu(static_cast<const Submenu&>(*entry).entries()));
                break;
            case EntryKind::toggle:
            case EntryKind::syncedToggle:
                item = gtk_check_menu_item_new_with_label(entry->text().c_str());
                gtk_check_menu_item_set_active(GTK_CHECK_MENU_ITEM(item),
                                               static_cast<const Toggle&>(*entry).isOn());
                break;
            default:  // buttons; an image button shows its text like the others
                item = gtk_menu_item_new_with_label(entry->text().c_str());
                break;
        }
        if (entry->clickable()) {
            // Connected after the check state is set, so only the user's choice calls click().
            g_signal_connect(item, "activate", G_CALLBACK(onActivate), entry.get());
        }
        gtk_menu_shell_append(GTK_MENU_SHELL(menu), item);
    }
    gtk_widget_show_all(menu);
    return menu;
}

class DesktopTray : public BaseTray {
public:
    DesktopTray(std::string identifier, std::string iconPath)
        : BaseTray(std::move(identifier), std::move(iconPath)) {}
    ~DesktopTray() override { removeIcon(); }

    void run() override {
        showIcon();
        if (!exitRequested_.load()) {
            gtk_main();
        }
        removeIcon();
        // Lets the host see the icon go before the process carries on shutting down.
        for (int i = 0; i < kFlushIterations && gtk_events_pending(); ++i) {
            gtk_main_iteration_do(FALSE);
        }
    }

    void exit() override {
        exitRequested_.store(true);
        // g_idle_add is safe from any thread; the callback runs on the loop's thread. Before
        // run() it waits in the queue, and run() sees the flag.
        g_idle_add(quitLoop, nullptr);
    }

    void update() override {
        if (indicator_ == nullptr) {
            return;
        }
        GtkWidget* previous = menu_;
        menu_ = buildMenu(entries());
        g_object_ref_sink(menu_);
        app_indicator_set_menu(indicator_, GTK_MENU(menu_));
        if (previous != nullptr) {
            // May be inside the old menu's signal emission (a toggle); GTK holds its own
            // reference there, so destroying here is safe.
            gtk_widget_destroy(previous);
            g_object_unref(previous);
        }
    }

private:
    void showIcon() {
        std::error_code error;
        const bool found = std::filesystem::exists(iconPath(), error);
        if (!found) {
            spdlog::warn("Tray icon {0} not found; using the theme's {1}.", iconPath(),
                         kFallbackIcon);
        }
        indicator_ =
            app_indicator_new(identifier().c_str(), found ? iconPath().c_str() : kFallbackIcon,
                              APP_INDICATOR_CATEGORY_APPLICATION_STATUS);
        app_indicator_set_title(indicator_, "kinetra SDK");
        app_indicator_set_status(indicator_, APP_INDICATOR_STATUS_ACTIVE);
        update();
    }

    void removeIcon() {
        if (indicator_ != nullptr) {
            app_indicator_set_status(indicator_, APP_INDICATOR_STATUS_PASSIVE);
            g_object_unref(indicator_);
            indicator_ = nullptr;
        }
        if (menu_ != nullptr) {
            gtk_widget_destroy(menu_);
            g_object_unref(menu_);
            menu_ = nullptr;
        }
    }

    AppIndicator* indicator_ = nullptr;  // main thread only
    GtkWidget* menu_ = nullptr;          // our reference to the shown menu, main thread only
    std::atomic<bool> exitRequested_{false};
};

}  // namespace

bool desktopTrayBuilt() {
    return true;
}

std::unique_ptr<BaseTray> makeDesktopTray(std::string identifier, std::string iconPath) {
    const char* x11 = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    if ((x11 == nullptr || *x11 == '\0') && (wayland == nullptr || *wayland == '\0')) {
        return nullptr;
    }
    if (gtk_init_check(nullptr, nullptr) == FALSE) {
        spdlog::warn("Tray: the graphical session did not open; using the console menu.");
        return nullptr;
    }
    return std::make_unique<DesktopTray>(std::move(identifier), std::move(iconPath));
}

}  // namespace kinetra::tray
