// GET /metrics: every link's health in the Prometheus text format (0.0.4). The board keeps the
// newest figures each link publishes on its health feed (subscribed on the bus reactor thread,
// following the link list from the first scrape on), so a scrape on a network thread renders from
// memory and never waits on a link.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

#include "core/json.hpp"
#include "gateway/bus_reactor.hpp"

namespace kinetra::gateway {

/// The path the scrape is answered on, on the HTTP port.
inline constexpr std::string_view kMetricsPath = "/metrics";

/// Process-wide figures beside the links'.
struct ProcessFigures {
    std::size_t connections = 0;  ///< open HTTP and WebSocket connections
    std::uint64_t logMessagesDropped = 0;
};

/// The exposition text: for each family with samples its HELP and TYPE lines, then one sample per
/// link (label link="<linkID>") from that link's health `data`. A figure a link's data lacks is
/// left out for that link; a quantile without round trips is NaN. Pure.
std::string metricsText(const std::map<std::string, json>& links, const ProcessFigures& process);

/// The full HTTP response of a scrape.
std::string metricsResponse(std::string text);

class MetricsBoard {
public:
    explicit MetricsBoard(BusReactor& reactor) : reactor_(reactor) {}

    /// Follows the link list and each listed link's health feed from now on; the first call
    /// only counts. Until someone scrapes, the links publish nothing for it. Any thread.
    void follow();

    /// The newest health data of each link that published since it was listed. Any thread.
    std::map<std::string, json> latest() const;

private:
    // Reactor thread.
    void onLinks(const std::string& body);

    BusReactor& reactor_;
    std::map<std::string, std::uint64_t> subscribed_;  // reactor thread: linkID -> token

    std::once_flag following_;
    mutable std::mutex mutex_;                    // guards figures_
    std::map<std::string, std::string> figures_;  // linkID -> its health data, as published
};

}  // namespace kinetra::gateway
