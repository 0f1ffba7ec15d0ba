// The link's figures and their JSON form; see link_health.hpp. Runs on the link's service thread.
#include "link/link_health.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string_view>

namespace kinetra::link {

bool LinkStatistics::counting() {
    static const bool on = [] {
        const char* value = std::getenv("KINETRA_LINK_STATISTICS");
        return value == nullptr || std::string_view(value) != "off";
    }();
    return on;
}

std::optional<double> quantileMs(std::vector<std::chrono::microseconds> values, double q) {
    if (values.empty()) {
        return std::nullopt;
    }
    // Nearest rank: the smallest value with at least q of all at or below it.
    const auto rank = static_cast<std::size_t>(std::ceil(q * static_cast<double>(values.size())));
    const auto index = std::clamp<std::size_t>(rank, 1, values.size()) - 1;
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(index),
                     values.end());
    return static_cast<double>(values[index].count()) / 1000.0;
}

double StatusRateMeter::update(std::uint64_t statusMessages, Clock::time_point now) {
    const std::chrono::duration<double> elapsed = now - since_;
    if (elapsed >= std::chrono::seconds(1)) {
        rate_ = static_cast<double>(statusMessages - countSince_) / elapsed.count();
        since_ = now;
        countSince_ = statusMessages;
        whole_ = true;
    } else if (!whole_ && elapsed.count() > 0) {
        rate_ = static_cast<double>(statusMessages - countSince_) / elapsed.count();
    }
    return rate_;
}

LinkFigures readFigures(const LinkStatistics& statistics, double statusRate,
                        std::chrono::steady_clock::time_point now) {
    constexpr auto relaxed = std::memory_order_relaxed;
    LinkFigures figures;
    figures.framesIn = statistics.framesIn.load(relaxed);
    figures.framesOut = statistics.framesOut.load(relaxed);
    figures.bytesIn = statistics.bytesIn.load(relaxed);
    figures.bytesOut = statistics.bytesOut.load(relaxed);
    figures.discarded = statistics.discarded.load(relaxed);
    figures.discardedBytes = statistics.discardedBytes.load(relaxed);
    figures.retries = statistics.retries.load(relaxed);
    figures.timeouts = statistics.timeouts.load(relaxed);
    figures.lateReplies = statistics.lateReplies.load(relaxed);
    figures.unacknowledged = statistics.unacknowledged.load(relaxed);
    const auto roundTrips = statistics.roundTrips();
    figures.ackP50Ms = quantileMs(roundTrips, 0.5);
    figures.ackP99Ms = quantileMs(roundTrips, 0.99);
    figures.ackCount = statistics.roundTripCount();
    figures.ackSumMs = static_cast<double>(statistics.roundTripSum().count()) / 1000.0;
    figures.statusMessages = statistics.statusMessages.load(relaxed);
    figures.statusRate = statusRate;
    if (const auto last = statistics.lastStatus.load(relaxed); last != 0) {
        const auto age =
            now - std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(last));
        figures.statusAgeMs = std::max<std::int64_t>(
            0, std::chrono::duration_cast<std::chrono::milliseconds>(age).count());
    }
    return figures;
}

json figuresJson(const LinkFigures& figures) {
    const auto orNull = [](const std::optional<double>& value) {
        return value ? json(*value) : json(nullptr);
    };
    json data{
        {"ackRoundTrip",
         {{"count", figures.ackCount},
          {"p50", orNull(figures.ackP50Ms)},
          {"p99", orNull(figures.ackP99Ms)},
          {"sumMs", figures.ackSumMs}}},
        {"bytesIn", figures.bytesIn},
        {"bytesOut", figures.bytesOut},
        {"discarded", figures.discarded},
        {"discardedBytes", figures.discardedBytes},
        {"framesIn", figures.framesIn},
        {"framesOut", figures.framesOut},
        {"lateReplies", figures.lateReplies},
        {"retries", figures.retries},
        {"statusMessages", figures.statusMessages},
        {"statusRate", std::round(figures.statusRate * 100.0) / 100.0},
        {"timeouts", figures.timeouts},
        {"unacknowledged", figures.unacknowledged},
    };
    if (figures.statusAgeMs) {
        data["statusAgeMs"] = *figures.statusAgeMs;
    }
    return data;
}

}  // namespace kinetra::link
