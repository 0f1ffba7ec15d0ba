// The counters studioStatus reports, written by the studio threads and read by the device
// service's thread when it answers. Thread-safe.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "core/json.hpp"

namespace kinetra::studio {

/// What the VISCA input did with the datagrams it got.
struct ViscaCounters {
    std::atomic<std::uint64_t> datagrams{0};     // received, trusted or not
    std::atomic<std::uint64_t> untrusted{0};     // from sources outside trustedNetworks
    std::atomic<std::uint64_t> refused{0};       // malformed, out of sequence or over the rate
    std::atomic<std::uint64_t> errors{0};        // answered with a VISCA error message
    std::atomic<std::uint64_t> commandsSent{0};  // bus requests made for VISCA messages
};

class StudioCounters {
public:
    std::atomic<std::uint64_t> packetsSent{0};       // FreeD packets handed to the network
    std::atomic<std::uint64_t> messagesReceived{0};  // OSC datagrams, trusted or not
    std::atomic<std::uint64_t> messagesDropped{0};   // from untrusted sources
    std::atomic<std::uint64_t> commandsSent{0};      // bus requests made for OSC messages
    ViscaCounters visca;

    /// Remembers `text` as the last error (shown until the next one).
    void setError(std::string text);
    std::string lastError() const;

    /// Records how late (microseconds) one FreeD tick woke after its scheduled time.
    void recordLateness(std::int64_t microseconds);
    /// The 50th and 99th percentile and the maximum of the recent lateness samples, in
    /// microseconds; null members before any tick.
    json latenessSummary() const;

private:
    static constexpr std::size_t kSamples = 1024;

    mutable std::mutex mutex_;  // guards lastError_, samples_, nextSample_
    std::string lastError_;
    std::vector<std::int64_t> samples_;  // a ring of the latest kSamples
    std::size_t nextSample_ = 0;
};

}  // namespace kinetra::studio
