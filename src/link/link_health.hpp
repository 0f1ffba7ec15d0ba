// A link's health as clients read it: the counters of LinkStatistics at one moment, the
// acknowledgement round trip's quantiles, the status rate, and their JSON form (the `data` of
// linkStatistics and of the health/<linkID> feed). Pure apart from reading the atomics; the
// rate meter belongs to the link's service thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/json.hpp"
#include "link/link_statistics.hpp"

namespace kinetra::link {

/// The `q` quantile (0 < q <= 1) of `values` by nearest rank, in milliseconds; nothing when
/// there are none.
std::optional<double> quantileMs(std::vector<std::chrono::microseconds> values, double q);

/// Status messages per second over the last whole second (over what has passed of the first).
class StatusRateMeter {
public:
    using Clock = std::chrono::steady_clock;
    explicit StatusRateMeter(Clock::time_point start) : since_(start) {}
    /// Takes the count of status messages so far at `now`; returns the rate.
    double update(std::uint64_t statusMessages, Clock::time_point now);

private:
    Clock::time_point since_;
    std::uint64_t countSince_ = 0;
    double rate_ = 0;
    bool whole_ = false;  // a whole window has been measured
};

struct LinkFigures {
    std::uint64_t framesIn = 0, framesOut = 0, bytesIn = 0, bytesOut = 0;
    std::uint64_t discarded = 0, discardedBytes = 0;
    std::uint64_t retries = 0, timeouts = 0, lateReplies = 0, unacknowledged = 0;
    std::optional<double> ackP50Ms, ackP99Ms;  ///< of the last round trips kept
    std::uint64_t ackCount = 0;                ///< every round trip since the link began
    double ackSumMs = 0;
    std::uint64_t statusMessages = 0;
    double statusRate = 0;
    std::optional<std::int64_t> statusAgeMs;  ///< nothing before the first status message
};

/// The figures of `statistics` at `now`, with `statusRate` from the link's meter.
LinkFigures readFigures(const LinkStatistics& statistics, double statusRate,
                        std::chrono::steady_clock::time_point now);

/// {"ackRoundTrip":{"count","p50","p99","sumMs"},"bytesIn",...,"statusAgeMs","statusRate",...}:
/// milliseconds and counts as numbers; a quantile without round trips is null, statusAgeMs is
/// absent before the first status message.
json figuresJson(const LinkFigures& figures);

}  // namespace kinetra::link
