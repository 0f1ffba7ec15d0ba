// The identifiers sent with every stored key pose: two process-wide counters shared by all
// bundles, whose command threads draw from them concurrently.
#pragma once

#include <atomic>
#include <cstdint>

namespace kinetra::bundle {

class KeyposeIdCounters {
public:
    static constexpr std::uint32_t kStart = 0xCAFEF00D;

    explicit KeyposeIdCounters(std::uint32_t start = kStart)
        : currentPose_(start), numericData_(start) {}

    /// The next identifier for a pose stored from the current position (the first is
    /// 0xCAFEF00E); wraps at 2^32.
    std::uint32_t nextCurrentPoseId() { return currentPose_.fetch_add(1) + 1; }
    /// The next identifier for a pose stored with numeric values; wraps at 2^32.
    std::uint32_t nextNumericDataId() { return numericData_.fetch_add(1) + 1; }

private:
    std::atomic<std::uint32_t> currentPose_;
    std::atomic<std::uint32_t> numericData_;
};

/// The counters of this process.
KeyposeIdCounters& keyposeIdCounters();

}  // namespace kinetra::bundle
