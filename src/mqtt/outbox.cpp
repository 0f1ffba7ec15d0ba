#include "mqtt/outbox.hpp"

#include <algorithm>
#include <utility>

namespace kinetra::mqtt {

Outbox::Time Outbox::Slot::dueAt(Time now) const {
    return std::max(now, allowedAt - interval / 2);
}

bool Outbox::offerLatest(Publication publication, Duration interval) {
    auto& slot = latest_[publication.topic];
    slot.interval = interval;
    // A topic already waiting keeps its place in line: its own news does not push it back.
    const bool replaced = slot.waiting.has_value();
    if (!replaced) {
        slot.order = nextOrder_++;
    }
    slot.waiting = std::move(publication);
    return replaced;
}

bool Outbox::enqueue(Publication publication) {
    if (queued_.size() >= kMaxQueued) {
        ++dropped_;
        return false;
    }
    queued_.push_back(std::move(publication));
    return true;
}

void Outbox::forget(const std::string& topic) {
    latest_.erase(topic);
}

void Outbox::clear() {
    for (auto& [topic, slot] : latest_) {
        if (slot.waiting && !slot.waiting->retain) {
            slot.waiting.reset();
        }
    }
    queued_.clear();
}

std::optional<Publication> Outbox::take(Time now) {
    if (!queued_.empty()) {
        auto next = std::move(queued_.front());
        queued_.pop_front();
        return next;
    }
    Slot* oldest = nullptr;
    for (auto& [topic, slot] : latest_) {
        if (slot.waiting && slot.dueAt(now) <= now && (!oldest || slot.order < oldest->order)) {
            oldest = &slot;
        }
    }
    if (oldest == nullptr) {
        return std::nullopt;
    }
    oldest->allowedAt = std::max(oldest->allowedAt, now) + oldest->interval;
    return std::exchange(oldest->waiting, std::nullopt);
}

std::optional<Outbox::Time> Outbox::nextDue(Time now) const {
    if (!queued_.empty()) {
        return now;
    }
    std::optional<Time> earliest;
    for (const auto& [topic, slot] : latest_) {
        if (slot.waiting) {
            const auto due = slot.dueAt(now);
            earliest = earliest ? std::min(*earliest, due) : due;
        }
    }
    return earliest;
}

std::optional<Outbox::Time> Outbox::allowedFrom(const std::string& topic) const {
    const auto found = latest_.find(topic);
    if (found == latest_.end()) {
        return std::nullopt;
    }
    return found->second.allowedAt - found->second.interval / 2;
}

}  // namespace kinetra::mqtt
