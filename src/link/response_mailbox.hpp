// What the link's reader hands to the sender that holds the transaction, and how it is credited:
// payloads (adapter replies, device answers) with their arrival order, and acknowledge-byte
// changes with the byte's value, each credited by the AcknowledgeLedger to the written message
// it answers. A sender takes only what matches its transaction and arrived after the
// transaction began; whatever its transaction does not take is dropped and counted as late.
// The reader posts; the sender begins, notes its writes, waits and ends; stop() and preempt()
// wake the wait. Thread-safe.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>

#include "core/bytes.hpp"
#include "link/acknowledge_ledger.hpp"
#include "link/link_statistics.hpp"
#include "link/reply.hpp"

namespace kinetra::link {

/// What a transaction waits for.
enum class Awaited : std::uint8_t {
    nothing,          ///< nothing: the write is the whole transaction
    acknowledgement,  ///< a change of the acknowledge byte credited to one of its writes
    header,           ///< a payload beginning with the transaction's header
    anyReply,         ///< any payload, or an acknowledgement credited to one of its writes
};

class ResponseMailbox {
public:
    using Clock = std::chrono::steady_clock;
    /// Payloads held at most while a transaction waits; one more is dropped (counted late).
    static constexpr std::size_t kCapacity = 64;

    explicit ResponseMailbox(LinkStatistics& statistics) : statistics_(statistics) {}

    // --- Reader thread -------------------------------------------------------------------------
    /// A payload arrived. With no transaction waiting it is nobody's: dropped and counted.
    void postReply(core::ByteView payload);
    /// The acknowledge byte changed to `value`: credited to the oldest message in doubt.
    void postAcknowledge(std::uint8_t value);

    // --- The sender holding the link's transaction lock ------------------------------------
    /// Transaction `id` begins.
    void begin(std::uint64_t id);
    /// The transaction is about to write; `mayAcknowledge`: a device message that may move the
    /// acknowledge byte. What arrived before its first write is not its own.
    void writing(bool mayAcknowledge);
    /// Waits until `deadline` for what the transaction awaits (`header` for Awaited::header),
    /// taking what arrived since it began; nothing at the deadline or once `giveUp` holds
    /// (asked before waiting and whenever woken). An acknowledgement comes back as a one-byte
    /// reply holding the byte's new value.
    std::optional<Reply> take(Clock::time_point deadline, Awaited awaited,
                              const ReplyHeader& header, const std::function<bool()>& giveUp);
    /// The transaction has ended, answered or not: a change credited to it from now on is late.
    void end(bool answered);

    /// Wakes the waiting sender so that it asks its `giveUp` again. Any thread.
    void wake();

private:
    // The caller holds mutex_.
    std::optional<Reply> takeMatching(Awaited awaited, const ReplyHeader& header);

    LinkStatistics& statistics_;
    std::mutex mutex_;  // guards everything below; with arrived_
    std::condition_variable arrived_;
    std::deque<core::Bytes> replies_;  // payloads that arrived while current_ waits
    AcknowledgeLedger ledger_;
    std::uint64_t current_ = 0;             // the transaction in progress; 0: none
    bool wrote_ = false;                    // current_ has written
    std::optional<std::uint8_t> credited_;  // an acknowledgement credited to current_
};

}  // namespace kinetra::link
