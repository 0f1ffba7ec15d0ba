// The mailbox between a link's reader and its sender.
#include "link/response_mailbox.hpp"

namespace kinetra::link {

void ResponseMailbox::post(core::ByteView message) {
    {
        std::lock_guard lock(mutex_);
        if (messages_.size() >= kCapacity) {
            return;
        }
        messages_.emplace_back(message.begin(), message.end());
    }
    arrived_.notify_all();
}

void ResponseMailbox::clear() {
    std::lock_guard lock(mutex_);
    messages_.clear();
}

std::optional<core::Bytes> ResponseMailbox::take(Clock::time_point deadline,
                                                 const std::function<bool()>& giveUp) {
    std::unique_lock lock(mutex_);
    for (;;) {
        if (giveUp && giveUp()) {
            return std::nullopt;
        }
        if (!messages_.empty()) {
            core::Bytes message = std::move(messages_.front());
            messages_.pop_front();
            return message;
        }
        if (arrived_.wait_until(lock, deadline) == std::cv_status::timeout) {
            if (messages_.empty()) {
                return std::nullopt;
            }
        }
    }
}

void ResponseMailbox::wake() {
    {
        // Taken so that a sender between its giveUp check and its wait cannot miss this.
        std::lock_guard lock(mutex_);
    }
    arrived_.notify_all();
}

}  // namespace kinetra::link
