// The mailbox between a link's reader and its sender, with the attribution of what arrives.
#include "link/response_mailbox.hpp"

namespace kinetra::link {

void ResponseMailbox::postReply(core::ByteView payload) {
    {
        std::lock_guard lock(mutex_);
        if (current_ == 0 || !wrote_ || replies_.size() >= kCapacity) {
            statistics_.lateReplies.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        replies_.emplace_back(payload.begin(), payload.end());
    }
    arrived_.notify_all();
}

void ResponseMailbox::postAcknowledge(std::uint8_t value) {
    {
        std::lock_guard lock(mutex_);
        const auto before = ledger_.givenUp();
        const auto change = ledger_.change(Clock::now());
        statistics_.givenUp.fetch_add(ledger_.givenUp() - before, std::memory_order_relaxed);
        switch (change.credit) {
            case AcknowledgeLedger::Credit::waiting:
                if (change.owner == current_) {
                    credited_ = value;
                    statistics_.recordRoundTrip(
                        std::chrono::duration_cast<std::chrono::microseconds>(*change.roundTrip));
                }
                break;
            case AcknowledgeLedger::Credit::late:
                statistics_.lateReplies.fetch_add(1, std::memory_order_relaxed);
                break;
            case AcknowledgeLedger::Credit::nobody:
            case AcknowledgeLedger::Credit::doubtful:
                statistics_.unattributedChanges.fetch_add(1, std::memory_order_relaxed);
                break;
            case AcknowledgeLedger::Credit::settled:
                break;
        }
    }
    arrived_.notify_all();
}

void ResponseMailbox::begin(std::uint64_t id) {
    std::lock_guard lock(mutex_);
    current_ = id;
    wrote_ = false;
    credited_.reset();
}

void ResponseMailbox::writing(bool mayAcknowledge) {
    std::lock_guard lock(mutex_);
    if (!wrote_) {
        wrote_ = true;
        statistics_.lateReplies.fetch_add(replies_.size(), std::memory_order_relaxed);
        replies_.clear();
    }
    if (mayAcknowledge) {
        const auto before = ledger_.givenUp();
        ledger_.written(current_, Clock::now());
        statistics_.givenUp.fetch_add(ledger_.givenUp() - before, std::memory_order_relaxed);
    }
}

std::optional<Reply> ResponseMailbox::takeMatching(Awaited awaited, const ReplyHeader& header) {
    if (credited_ && (awaited == Awaited::acknowledgement || awaited == Awaited::anyReply)) {
        const std::uint8_t value = *credited_;
        credited_.reset();
        return Reply(core::ByteView(&value, 1));
    }
    while (!replies_.empty()) {
        core::Bytes payload = std::move(replies_.front());
        replies_.pop_front();
        if (awaited == Awaited::anyReply ||
            (awaited == Awaited::header && matchesHeader(payload, header))) {
            return Reply(payload);
        }
        // Not this transaction's: a late answer to an earlier one, or nobody's.
        statistics_.lateReplies.fetch_add(1, std::memory_order_relaxed);
    }
    return std::nullopt;
}

std::optional<Reply> ResponseMailbox::take(Clock::time_point deadline, Awaited awaited,
                                           const ReplyHeader& header,
                                           const std::function<bool()>& giveUp) {
    std::unique_lock lock(mutex_);
    for (;;) {
        if (giveUp && giveUp()) {
            return std::nullopt;
        }
        if (auto reply = takeMatching(awaited, header)) {
            return reply;
        }
        if (Clock::now() >= deadline) {
            return std::nullopt;
        }
        arrived_.wait_until(lock, deadline);
    }
}

void ResponseMailbox::end(bool answered) {
    std::lock_guard lock(mutex_);
    ledger_.ended(current_, answered);
    statistics_.lateReplies.fetch_add(replies_.size(), std::memory_order_relaxed);
    replies_.clear();
    current_ = 0;
    wrote_ = false;
    credited_.reset();
}

void ResponseMailbox::wake() {
    {
        // Taken so that a sender between its giveUp check and its wait cannot miss this.
        std::lock_guard lock(mutex_);
    }
    arrived_.notify_all();
}

}  // namespace kinetra::link
