// Test back-end for notifications: records every toast and keeps its answer handler, so a test
// can read the texts and press a button. Installed for the lifetime of the object.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "notify/notification_handler.hpp"

namespace kinetra::testing {

class RecordingBackend : public notify::NotificationBackend {
public:
    struct Shown {
        notify::Toast toast;
        std::shared_ptr<notify::ToastEvents> events;
    };

    bool show(const notify::Toast& toast, std::shared_ptr<notify::ToastEvents> events) override {
        std::lock_guard lock(mutex_);
        shown_.push_back({toast, std::move(events)});
        return showSucceeds;
    }

    std::vector<Shown> shown() const {
        std::lock_guard lock(mutex_);
        return shown_;
    }

    /// Every toast's lines joined by " | ", in the order shown.
    std::vector<std::string> texts() const {
        std::vector<std::string> result;
        for (const auto& entry : shown()) {
            std::string text;
            for (const auto& line : entry.toast.lines) {
                text += (text.empty() ? "" : " | ") + line;
            }
            result.push_back(text);
        }
        return result;
    }

    bool showSucceeds = true;

private:
    mutable std::mutex mutex_;  // guards shown_
    std::vector<Shown> shown_;
};

/// Installs a RecordingBackend for the scope and restores the logging back-end afterwards.
class ScopedRecordingBackend {
public:
    ScopedRecordingBackend() : backend_(std::make_shared<RecordingBackend>()) {
        notify::setBackend(backend_);
    }
    ~ScopedRecordingBackend() { notify::setBackend(std::make_shared<notify::LogBackend>()); }
    RecordingBackend& operator*() const { return *backend_; }
    RecordingBackend* operator->() const { return backend_.get(); }

private:
    std::shared_ptr<RecordingBackend> backend_;
};

}  // namespace kinetra::testing
