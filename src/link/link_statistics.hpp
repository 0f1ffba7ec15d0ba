// The health counters of one link, counted where the work happens: the sender's transactions
// (retries, time-outs, unacknowledged sends) and the reader's attribution of what arrives (late
// replies, unexplained changes, acknowledgement round trips). Relaxed atomics and a fixed ring;
// written by the link's own threads without a lock, read by any thread as copies.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kinetra::link {

class LinkStatistics {
public:
    static constexpr std::size_t kRoundTrips = 256;

    /// Attempts written again because the one before got no reply in time.
    std::atomic<std::uint64_t> retries{0};
    /// Transactions that ran out of attempts without their reply.
    std::atomic<std::uint64_t> timeouts{0};
    /// Of those, sends awaiting an acknowledgement: each is answered acknowledged:false.
    std::atomic<std::uint64_t> unacknowledged{0};
    /// Replies dropped because their transaction had given up (or none waited for them).
    std::atomic<std::uint64_t> lateReplies{0};
    /// Acknowledge-byte changes no message in doubt explains.
    std::atomic<std::uint64_t> unattributedChanges{0};
    /// Written messages given up because no change came within the doubt window.
    std::atomic<std::uint64_t> givenUp{0};

    /// Notes one acknowledgement's round trip, from its message's write to the change.
    void recordRoundTrip(std::chrono::microseconds roundTrip) {
        const auto slot = next_.fetch_add(1, std::memory_order_relaxed) % kRoundTrips;
        ring_[slot].store(roundTrip.count(), std::memory_order_relaxed);
    }
    /// The round trips noted last (at most kRoundTrips), in no particular order.
    std::vector<std::chrono::microseconds> roundTrips() const {
        const auto count =
            std::min<std::uint64_t>(next_.load(std::memory_order_relaxed), kRoundTrips);
        std::vector<std::chrono::microseconds> result;
        result.reserve(count);
        for (std::size_t i = 0; i < count; ++i) {
            result.emplace_back(ring_[i].load(std::memory_order_relaxed));
        }
        return result;
    }

private:
    std::array<std::atomic<std::int64_t>, kRoundTrips> ring_{};
    std::atomic<std::uint64_t> next_{0};
};

}  // namespace kinetra::link
