// The bundle's command queue; see command_queue.hpp. Runs under the bundle's lock.
#include "bundle/command_queue.hpp"

#include <algorithm>

namespace kinetra::bundle {
namespace {

bool expiredAt(const CommandQueue::Entry& entry, CommandQueue::TimePoint now) {
    return entry.deadline && *entry.deadline <= now;
}

}  // namespace

CommandQueue::Offered CommandQueue::offer(Entry entry, TimePoint now) {
    Offered offered;
    if (entry.stop) {
        // Everything ordinary waiting came before this stop: none of it may move the gear
        // after it.
        std::vector<Queued> cancelled;
        for (auto& [client, fifo] : perClient_) {
            std::move(fifo.begin(), fifo.end(), std::back_inserter(cancelled));
        }
        std::sort(cancelled.begin(), cancelled.end(),
                  [](const Queued& a, const Queued& b) { return a.arrival < b.arrival; });
        for (auto& queued : cancelled) {
            offered.cancelled.push_back(std::move(queued.entry));
        }
        perClient_.clear();
        turn_.clear();
        ordinary_ = 0;
        offered.preempt = running_ == Running::ordinary;
        if (stops_.size() >= limits_.total) {
            offered.refused = std::move(entry);
        } else {
            stops_.push_back(std::move(entry));
        }
        return offered;
    }
    dropExpired(now, offered.expired, &entry.client);
    const auto found = perClient_.find(entry.client);
    const std::size_t mine = found == perClient_.end() ? 0 : found->second.size();
    if (mine >= limits_.perClient || size() >= limits_.total) {
        offered.refused = std::move(entry);
        return offered;
    }
    auto& fifo = perClient_[entry.client];
    if (fifo.empty()) {
        turn_.push_back(entry.client);
    }
    fifo.push_back(Queued{++arrivals_, std::move(entry)});
    ++ordinary_;
    return offered;
}

CommandQueue::Taken CommandQueue::take(TimePoint now) {
    Taken taken;
    dropExpired(now, taken.expired, nullptr);
    std::erase_if(holds_, [now](const auto& hold) { return hold.second <= now; });
    if (running_ != Running::none) {
        return taken;
    }
    if (!stops_.empty()) {
        taken.next = std::move(stops_.front());
        stops_.pop_front();
        running_ = Running::stop;
        return taken;
    }
    taken.next = nextOrdinary(now);
    if (taken.next) {
        running_ = Running::ordinary;
    }
    return taken;
}

// The first client in turn that is not held gives its oldest command and goes to the back.
std::optional<CommandQueue::Entry> CommandQueue::nextOrdinary(TimePoint now) {
    for (auto client = turn_.begin(); client != turn_.end(); ++client) {
        if (held(*client, now)) {
            continue;
        }
        auto fifo = perClient_.find(*client);
        Entry entry = std::move(fifo->second.front().entry);
        fifo->second.pop_front();
        --ordinary_;
        std::string name = std::move(*client);
        turn_.erase(client);
        if (fifo->second.empty()) {
            perClient_.erase(fifo);
        } else {
            turn_.push_back(std::move(name));
        }
        return entry;
    }
    return std::nullopt;
}

void CommandQueue::dropExpired(TimePoint now, std::vector<Entry>& into,
                               const std::string* onlyClient) {
    for (auto fifo = perClient_.begin(); fifo != perClient_.end();) {
        if (onlyClient != nullptr && fifo->first != *onlyClient) {
            ++fifo;
            continue;
        }
        auto& entries = fifo->second;
        const auto kept =
            std::stable_partition(entries.begin(), entries.end(),
                                  [&](const Queued& q) { return !expiredAt(q.entry, now); });
        for (auto it = kept; it != entries.end(); ++it) {
            into.push_back(std::move(it->entry));
        }
        ordinary_ -= static_cast<std::size_t>(entries.end() - kept);
        entries.erase(kept, entries.end());
        if (entries.empty()) {
            std::erase(turn_, fifo->first);
            fifo = perClient_.erase(fifo);
        } else {
            ++fifo;
        }
    }
}

void CommandQueue::hold(const std::string& client, TimePoint until) {
    holds_[client] = until;
}

bool CommandQueue::held(const std::string& client, TimePoint now) const {
    const auto found = holds_.find(client);
    return found != holds_.end() && found->second > now;
}

std::optional<CommandQueue::TimePoint> CommandQueue::nextRelease() const {
    std::optional<TimePoint> earliest;
    for (const auto& [client, until] : holds_) {
        if (perClient_.contains(client) && (!earliest || until < *earliest)) {
            earliest = until;
        }
    }
    return earliest;
}

}  // namespace kinetra::bundle
