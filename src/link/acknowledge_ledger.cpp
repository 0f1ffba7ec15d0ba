// The acknowledgement ledger; see acknowledge_ledger.hpp.
#include "link/acknowledge_ledger.hpp"

#include <algorithm>

namespace kinetra::link {

void AcknowledgeLedger::written(std::uint64_t owner, TimePoint at) {
    forget(at);
    entries_.push_back(Entry{owner, at, State::open});
}

AcknowledgeLedger::Change AcknowledgeLedger::change(TimePoint at) {
    forget(at);
    const auto newestOpen = std::find_if(entries_.rbegin(), entries_.rend(),
                                         [](const Entry& e) { return e.state == State::open; });
    std::size_t overdue = 0;
    if (newestOpen != entries_.rend() && at - newestOpen->at <= quick()) {
        overdue = std::erase_if(entries_, [&](const Entry& e) {
            return e.state != State::open && at - e.at > kOverdue;
        });
        givenUp_ += overdue;
    }
    if (entries_.empty()) {
        return {};
    }
    const Entry entry = entries_.front();
    entries_.pop_front();
    Change result{Credit::settled, entry.owner, at - entry.at};
    if (entry.state == State::open && overdue > 0) {
        // Quick, but an overdue message was still waiting for its change: this may be its.
        result.credit = Credit::doubtful;
    } else if (entry.state == State::open) {
        result.credit = Credit::waiting;
        recent_.push_back(at - entry.at);
        if (recent_.size() > kRecent) {
            recent_.pop_front();
        }
    } else if (entry.state == State::abandoned) {
        result.credit = Credit::late;
    }
    return result;
}

AcknowledgeLedger::Clock::duration AcknowledgeLedger::quick() const {
    Clock::duration largest{0};
    for (const auto roundTrip : recent_) {
        largest = std::max(largest, roundTrip);
    }
    return std::clamp<Clock::duration>(2 * largest, kQuickFloor, kQuickCeiling);
}

void AcknowledgeLedger::ended(std::uint64_t owner, bool answered) {
    for (auto& entry : entries_) {
        if (entry.owner == owner && entry.state == State::open) {
            entry.state = answered ? State::settled : State::abandoned;
        }
    }
}

void AcknowledgeLedger::forget(TimePoint now) {
    while (!entries_.empty() && now - entries_.front().at >= kDoubtWindow) {
        entries_.pop_front();
        ++givenUp_;
    }
}

}  // namespace kinetra::link
