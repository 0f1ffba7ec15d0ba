// The health counters of one link, counted where the work happens: the reader (frames and bytes
// in, what the frame decoder discarded, status messages, late replies, acknowledgement round
// trips), the sender's transactions (frames and bytes out, retries, time-outs, unacknowledged
// sends). Relaxed atomics and a fixed ring; written by the link's own threads without a lock,
// read by any thread as copies.
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
    using Clock = std::chrono::steady_clock;
    static constexpr std::size_t kRoundTrips = 1000;

    /// False when the server runs with KINETRA_LINK_STATISTICS=off: the per-frame counting and
    /// the health feed are skipped (the baseline of the CPU benchmark). Read once.
    static bool counting();

    /// Whole frames decoded from the line, and the bytes read from it.
    std::atomic<std::uint64_t> framesIn{0};
    std::atomic<std::uint64_t> bytesIn{0};
    /// Frames (and any other bytes) written to the line.
    std::atomic<std::uint64_t> framesOut{0};
    std::atomic<std::uint64_t> bytesOut{0};
    /// What the frame decoder dropped: frames with a bad sum or too short, runs past its bound,
    /// noise between frames; and the bytes they held.
    std::atomic<std::uint64_t> discarded{0};
    std::atomic<std::uint64_t> discardedBytes{0};
    /// Status messages routed, and the time of the last one (Clock ticks; 0: none yet).
    std::atomic<std::uint64_t> statusMessages{0};
    std::atomic<Clock::rep> lastStatus{0};

    /// Attempts written again because the one before got no reply in time.
    std::atomic<std::uint64_t> retries{0};
    /// Transactions that ran out of attempts without their reply.
    std::atomic<std::uint64_t> timeouts{0};
    /// Of those, sends awaiting an acknowledgement: each is answered acknowledged:false.
    std::atomic<std::uint64_t> unacknowledged{0};
    /// Replies dropped because their transaction had given up (or none waited for them).
    std::atomic<std::uint64_t> lateReplies{0};
    /// Acknowledge-byte changes no message in doubt explains, or that two could (doubtful).
    std::atomic<std::uint64_t> unattributedChanges{0};
    /// Written messages given up because no change came within the doubt window.
    std::atomic<std::uint64_t> givenUp{0};

    /// Notes one acknowledgement's round trip, from its message's write to the change.
    void recordRoundTrip(std::chrono::microseconds roundTrip) {
        const auto slot = next_.fetch_add(1, std::memory_order_relaxed) % kRoundTrips;
        ring_[slot].store(roundTrip.count(), std::memory_order_relaxed);
        roundTripSum_.fetch_add(roundTrip.count(), std::memory_order_relaxed);
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
    /// Every round trip ever noted: how many, and their sum.
    std::uint64_t roundTripCount() const { return next_.load(std::memory_order_relaxed); }
    std::chrono::microseconds roundTripSum() const {
        return std::chrono::microseconds(roundTripSum_.load(std::memory_order_relaxed));
    }

    /// Reader thread (the only writer of these: plain stores, no read-modify-write): `bytes`
    /// read from the line, and the frame decoder's running totals of what it dropped.
    void noteRead(std::size_t bytes, std::uint64_t discardedFrames,
                  std::uint64_t discardedByteCount) {
        constexpr auto relaxed = std::memory_order_relaxed;
        bytesIn.store(bytesIn.load(relaxed) + bytes, relaxed);
        discarded.store(discardedFrames, relaxed);
        discardedBytes.store(discardedByteCount, relaxed);
    }
    /// Reader thread: one whole frame decoded.
    void noteFrame() {
        framesIn.store(framesIn.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    }
    /// Reader thread: one status message arrived at `now`.
    void noteStatus(Clock::time_point now) {
        statusMessages.store(statusMessages.load(std::memory_order_relaxed) + 1,
                             std::memory_order_relaxed);
        lastStatus.store(now.time_since_epoch().count(), std::memory_order_relaxed);
    }

private:
    std::array<std::atomic<std::int64_t>, kRoundTrips> ring_{};
    std::atomic<std::uint64_t> next_{0};
    std::atomic<std::int64_t> roundTripSum_{0};
};

}  // namespace kinetra::link
