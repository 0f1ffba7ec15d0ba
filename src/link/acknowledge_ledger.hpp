// Which written message a change of the acknowledge byte answers. Our devices carry no sequence
// numbers: each device message they act on moves the byte once, and that is all the host sees.
// So every message written that may move it is noted here, oldest first, and each change
// credits the oldest one still in doubt (written less than kDoubtWindow ago); older ones are
// given up. A transaction is acknowledged only when a change is credited to one of its own
// messages: when an earlier message is still in doubt as a later one is written, the first
// change goes to the earlier one, and the later command cannot claim it.
//
// One exception keeps a refused message (which never moves the byte) from shifting every later
// credit by one for as long as traffic goes on: a change that comes quickly (within twice the
// device's recent round trip) after a write of the transaction in progress goes to that write,
// and the messages of ended transactions left unanswered for longer than a reply wait are given
// up first. That change may still be an overdue message's late one, so when it gave any up the
// write cannot claim it (doubtful): its transaction is not acknowledged by it. Only the next
// quick change, with nothing overdue left, is taken as proof.
// Pure (times are passed in); used under the link mailbox's lock by the reader (changes) and the
// sender (writes, ends).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>

namespace kinetra::link {

class AcknowledgeLedger {
public:
    using Clock = std::chrono::steady_clock;
    using TimePoint = Clock::time_point;

    /// How long a written message may still be acknowledged. Devices answer within tens of
    /// milliseconds; a change later than this is not taken as that message's.
    static constexpr std::chrono::milliseconds kDoubtWindow{1000};
    /// A message of an ended transaction unanswered this long is overdue: a quick change for
    /// the transaction in progress gives it up.
    static constexpr std::chrono::milliseconds kOverdue{125};
    /// Bounds of "quick": twice the largest of the recent round trips, within these.
    static constexpr std::chrono::milliseconds kQuickFloor{5};
    static constexpr std::chrono::milliseconds kQuickCeiling{40};

    /// Who a change was credited to.
    enum class Credit : std::uint8_t {
        waiting,   ///< the transaction `owner`, which still waits: it is acknowledged
        late,      ///< a transaction that had given up: counted as a late reply
        settled,   ///< a transaction already answered (another attempt, a read's answer)
                   ///< or one that awaited nothing (a real-time move)
        nobody,    ///< no message in doubt: a change no write of ours explains
        doubtful,  ///< `owner`'s write, or an overdue message's: acknowledges nothing
    };

    struct Change {
        Credit credit = Credit::nobody;
        std::uint64_t owner = 0;
        /// From the credited message's write to the change.
        std::optional<Clock::duration> roundTrip;
    };

    /// A message that may move the byte was written at `at` for transaction `owner`. Call
    /// before the write, so that no change can come before it is noted.
    void written(std::uint64_t owner, TimePoint at);
    /// The byte changed at `at`: credits the oldest message in doubt.
    Change change(TimePoint at);
    /// Transaction `owner` has ended: answered (its other messages settle) or given up.
    void ended(std::uint64_t owner, bool answered);

    /// Messages given up for lack of a change within the window, since the ledger began.
    std::uint64_t givenUp() const { return givenUp_; }

private:
    enum class State : std::uint8_t { open, settled, abandoned };
    struct Entry {
        std::uint64_t owner;
        TimePoint at;
        State state;
    };
    void forget(TimePoint now);
    /// How soon after its write a change is taken as a write's own: from the recent round trips.
    Clock::duration quick() const;

    static constexpr std::size_t kRecent = 8;
    std::deque<Entry> entries_;
    std::deque<Clock::duration> recent_;  // round trips of the latest credits to a waiter
    std::uint64_t givenUp_ = 0;
};

}  // namespace kinetra::link
