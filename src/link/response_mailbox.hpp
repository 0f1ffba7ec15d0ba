// What the link's reader hands to the sender that holds the transaction: every inbound message
// that is no status message of its own (adapter replies, device answers, the text of an
// acknowledge-byte change). The reader posts; the sender clears it before each write and waits
// on it, woken by a message, or by wake() when the link stops or its command is preempted.
// Thread-safe.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>

#include "core/bytes.hpp"

namespace kinetra::link {

class ResponseMailbox {
public:
    using Clock = std::chrono::steady_clock;
    /// Messages held at most; one more is dropped (its sender times out), as a full queue does.
    static constexpr std::size_t kCapacity = 64;

    /// Keeps a copy of `message` for the sender. Reader thread.
    void post(core::ByteView message);
    /// Drops every message held. The sender, before it writes.
    void clear();
    /// The oldest message held, waiting for one until `deadline`; nothing when the deadline
    /// passes or `giveUp` returns true (asked when woken, and before waiting).
    std::optional<core::Bytes> take(Clock::time_point deadline,
                                    const std::function<bool()>& giveUp);
    /// Wakes the waiting sender so that it asks its `giveUp` again. Any thread.
    void wake();

private:
    std::mutex mutex_;  // guards messages_; with arrived_
    std::condition_variable arrived_;
    std::deque<core::Bytes> messages_;
};

}  // namespace kinetra::link
