// libnotify back-end: each notification is sent to the session's notification server from this
// back-end's own loop thread, which also receives the button presses and closings (D-Bus
// signals on a private GLib context), whether or not a GTK loop runs, and before it does.
#include <libnotify/notify.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <set>

#include <spdlog/spdlog.h>

#include "platform/service_thread.hpp"
#include "tray/desktop_notifications.hpp"

namespace kinetra::tray {
namespace {

constexpr const char* kApplicationName = "kinetra SDK";

// What a button or a closing needs: who hears the answer, and whether one was given (a closing
// after an answer is not a dismissal).
class LibnotifyBackend;

struct Answer {
    LibnotifyBackend* owner = nullptr;  // outlives every dispatch: its loop ends first
    std::shared_ptr<notify::ToastEvents> events;
    std::atomic<bool> answered{false};
};

struct ButtonData {
    std::shared_ptr<Answer> answer;
    int index;
};

void onButton(NotifyNotification* /*notification*/, char* /*action*/, gpointer data) {
    const auto* button = static_cast<ButtonData*>(data);
    if (!button->answer->answered.exchange(true)) {
        button->answer->events->toastActivated(button->index);
    }
}

void freeButton(gpointer data) {
    delete static_cast<ButtonData*>(data);
}

void freeAnswer(gpointer data, GClosure* /*closure*/) {
    delete static_cast<std::shared_ptr<Answer>*>(data);
}

// Asks the server for its name over the session bus, bounded: libnotify's own calls wait for
// D-Bus's default of 25 s when nobody answers.
bool serverAnswers(std::chrono::milliseconds bound) {
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address == nullptr || *address == '\0') {
        return false;  // no session bus; do not let GLib launch one
    }
    GError* error = nullptr;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (bus == nullptr) {
        spdlog::info("Notifications: no session bus ({0}).", error->message);
        g_clear_error(&error);
        return false;
    }
    GVariant* reply = g_dbus_connection_call_sync(
        bus, "org.freedesktop.Notifications", "/org/freedesktop/Notifications",
        "org.freedesktop.Notifications", "GetServerInformation", nullptr, G_VARIANT_TYPE("(ssss)"),
        G_DBUS_CALL_FLAGS_NONE, static_cast<int>(bound.count()), nullptr, &error);
    g_object_unref(bus);
    if (reply == nullptr) {
        spdlog::info("Notifications: no notification server ({0}).", error->message);
        g_clear_error(&error);
        return false;
    }
    const char* name = "";
    const char* vendor = "";
    const char* version = "";
    const char* protocol = "";
    g_variant_get(reply, "(&s&s&s&s)", &name, &vendor, &version, &protocol);
    spdlog::info("Notifications: {0} {1} ({2}).", name, version, vendor);
    g_variant_unref(reply);
    return true;
}

bool serverHasButtons() {
    GList* capabilities = notify_get_server_caps();
    bool found = false;
    for (GList* item = capabilities; item != nullptr; item = item->next) {
        found = found || std::string_view(static_cast<const char*>(item->data)) == "actions";
    }
    g_list_free_full(capabilities, g_free);
    return found;
}

class LibnotifyBackend : public notify::NotificationBackend {
public:
    // `context` is where libnotify's bus proxy delivers its signals; the backend owns it.
    LibnotifyBackend(GMainContext* context, bool buttons) : context_(context), buttons_(buttons) {
        // The context keeps what waits in it: after a failure the loop runs again on it.
        loop_.start({.name = "notify", .service = "Desktop notifications"},
                    [this](std::stop_token stop) { run(stop); });
    }

    ~LibnotifyBackend() override {
        loop_.requestStop();
        g_main_context_wakeup(context_);
        loop_.stop();
        for (auto* notification : shown_) {
            g_object_unref(notification);
        }
        notify_uninit();
        // Toasts still queued are dropped with their sources here.
        g_main_context_unref(context_);
    }

    // Hands the toast to the loop thread: showing is a D-Bus call that may wait for a slow
    // server, and the calling service thread must not wait with it. All libnotify calls then
    // run on that one thread.
    bool show(const notify::Toast& toast, std::shared_ptr<notify::ToastEvents> events) override {
        log_.show(toast, events);
        if (toast.lines.empty() || loop_.stopRequested()) {
            return false;
        }
        auto* job = new Job{this, toast, std::move(events)};
        g_main_context_invoke_full(context_, G_PRIORITY_DEFAULT, runJob, job, deleteJob);
        return true;
    }

private:
    struct Job {
        LibnotifyBackend* owner;
        notify::Toast toast;
        std::shared_ptr<notify::ToastEvents> events;
    };

    // A stop request and a wake-up rather than a GMainLoop: g_main_loop_quit before
    // g_main_loop_run starts would be lost.
    void run(const std::stop_token& stop) {
        struct ThreadDefault {
            GMainContext* context;
            explicit ThreadDefault(GMainContext* c) : context(c) {
                g_main_context_push_thread_default(context);
            }
            ~ThreadDefault() { g_main_context_pop_thread_default(context); }
            ThreadDefault(const ThreadDefault&) = delete;
            ThreadDefault& operator=(const ThreadDefault&) = delete;
        } threadDefault(context_);
        while (!stop.stop_requested()) {
            platform::faultPoint();
            g_main_context_iteration(context_, TRUE);
        }
    }

    static gboolean runJob(gpointer data) {
        auto* job = static_cast<Job*>(data);
        job->owner->showNow(job->toast, std::move(job->events));
        return G_SOURCE_REMOVE;
    }
    static void deleteJob(gpointer data) { delete static_cast<Job*>(data); }

    // On the loop thread.
    void showNow(const notify::Toast& toast, std::shared_ptr<notify::ToastEvents> events) {
        std::string body;
        for (std::size_t i = 1; i < toast.lines.size(); ++i) {
            body += (i > 1 ? "\n" : "") + toast.lines[i];
        }
        std::error_code error;
        const auto icon = std::filesystem::absolute(toast.imagePath, error);
        const bool hasIcon = !error && std::filesystem::exists(icon, error);

        NotifyNotification* notification =
            notify_notification_new(toast.lines[0].c_str(), body.empty() ? nullptr : body.c_str(),
                                    hasIcon ? icon.c_str() : nullptr);
        auto answer = std::make_shared<Answer>();
        answer->owner = this;
        answer->events = std::move(events);
        if (!toast.actions.empty()) {
            // A question waits its full time; plain notices use the server's own timeout (a few
            // milliseconds would close them before anyone could read them).
            notify_notification_set_timeout(notification,
                                            static_cast<int>(toast.expiration.count()));
            if (buttons_) {
                for (std::size_t i = 0; i < toast.actions.size(); ++i) {
                    const auto id = "action" + std::to_string(i);
                    notify_notification_add_action(
                        notification, id.c_str(), toast.actions[i].c_str(), onButton,
                        new ButtonData{answer, static_cast<int>(i)}, freeButton);
                }
            }
        }
        g_signal_connect_data(notification, "closed", G_CALLBACK(onClosed),
                              new std::shared_ptr<Answer>(answer), freeAnswer, GConnectFlags{});
        GError* failure = nullptr;
        if (notify_notification_show(notification, &failure) == FALSE) {
            spdlog::warn("Could not launch your toast notification!");
            spdlog::warn("Notifications: {0}", failure != nullptr ? failure->message : "");
            g_clear_error(&failure);
            g_object_unref(notification);
            return;
        }
        shown_.insert(notification);
    }

    static void onClosed(NotifyNotification* notification, gpointer data) {
        const auto& answer = *static_cast<std::shared_ptr<Answer>*>(data);
        if (!answer->answered.exchange(true)) {
            answer->events->toastDismissed(
                dismissalReason(notify_notification_get_closed_reason(notification)));
        }
        // Our reference goes; GObject keeps its own for the rest of the signal.
        if (answer->owner->shown_.erase(notification) > 0) {
            g_object_unref(notification);
        }
    }

    GMainContext* context_;
    const bool buttons_;
    notify::LogBackend log_;
    std::set<NotifyNotification*> shown_;  // our references; loop thread (then destructor) only
    platform::ServiceThread loop_;         // declared last: started after everything it uses
};

}  // namespace

std::shared_ptr<notify::NotificationBackend> makeDesktopNotifications(
    std::chrono::milliseconds bound) {
    if (!serverAnswers(bound)) {
        return nullptr;
    }
    if (notify_init(kApplicationName) == FALSE) {
        spdlog::warn("Notifications: the notification library did not start.");
        return nullptr;
    }
    // The first call to the server creates libnotify's bus proxy, which delivers its signals
    // to the thread-default context of its creation: ours, run by the back-end's thread.
    GMainContext* context = g_main_context_new();
    g_main_context_push_thread_default(context);
    const bool buttons = serverHasButtons();
    g_main_context_pop_thread_default(context);
    if (!buttons) {
        spdlog::warn("Notifications: the server shows no buttons; questions are only logged.");
    }
    return std::make_shared<LibnotifyBackend>(context, buttons);
}

}  // namespace kinetra::tray
