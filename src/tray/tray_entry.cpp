// The menu model's behaviour: clicks, toggles, ownership. Runs on the tray's thread.
#include "tray/tray_entry.hpp"

namespace kinetra::tray {

void Button::click() {
    if (action_) {
        action_();
    }
}

void Toggle::click() {
    on_ = !on_;
    if (onChange_) {
        onChange_(on_);
    }
    if (tray() != nullptr) {
        tray()->update();
    }
}

void Submenu::attach(BaseTray* owner) {
    TrayEntry::attach(owner);
    for (auto& entry : entries_) {
        entry->attach(owner);
    }
}

TrayEntry& Submenu::add(std::unique_ptr<TrayEntry> entry) {
    entry->attach(tray());
    entries_.push_back(std::move(entry));
    return *entries_.back();
}

TrayEntry& BaseTray::add(std::unique_ptr<TrayEntry> entry) {
    entry->attach(this);
    entries_.push_back(std::move(entry));
    return *entries_.back();
}

}  // namespace kinetra::tray
