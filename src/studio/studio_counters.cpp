#include "studio/studio_counters.hpp"

#include <algorithm>

namespace kinetra::studio {

void StudioCounters::setError(std::string text) {
    std::lock_guard lock(mutex_);
    lastError_ = std::move(text);
}

std::string StudioCounters::lastError() const {
    std::lock_guard lock(mutex_);
    return lastError_;
}

void StudioCounters::recordLateness(std::int64_t microseconds) {
    std::lock_guard lock(mutex_);
    if (samples_.size() < kSamples) {
        samples_.push_back(microseconds);
    } else {
        samples_[nextSample_] = microseconds;
    }
    nextSample_ = (nextSample_ + 1) % kSamples;
}

json StudioCounters::latenessSummary() const {
    std::vector<std::int64_t> sorted;
    {
        std::lock_guard lock(mutex_);
        sorted = samples_;
    }
    if (sorted.empty()) {
        return {{"maxUs", nullptr}, {"p50Us", nullptr}, {"p99Us", nullptr}};
    }
    std::sort(sorted.begin(), sorted.end());
    const auto at = [&](std::size_t percent) {
        return sorted[std::min(sorted.size() - 1, sorted.size() * percent / 100)];
    };
    return {{"maxUs", sorted.back()}, {"p50Us", at(50)}, {"p99Us", at(99)}};
}

}  // namespace kinetra::studio
