// The FreeD sender's thread ("freed"): sleeps until the next tick or its stop.
#include "studio/freed_sender.hpp"

#include <spdlog/spdlog.h>

namespace kinetra::studio {

FreedSender::FreedSender(const std::vector<HostPort>& targets, int rate, LiveCameras liveCameras,
                         StudioCounters& counters)
    : period_(std::chrono::nanoseconds(std::chrono::seconds(1)) / rate),
      liveCameras_(std::move(liveCameras)),
      counters_(counters) {
    asio::ip::udp::resolver resolver(io_);
    for (const auto& target : targets) {
        std::error_code error;
        const auto found = resolver.resolve(target.host, std::to_string(target.port),
                                            asio::ip::resolver_base::numeric_service, error);
        if (error || found.empty()) {
            const auto text = fmt::format("FreeD target {0}: {1}", target.text(),
                                          error ? error.message() : "no address");
            spdlog::warn("{0}", text);
            counters_.setError(text);
            continue;
        }
        Target resolved{target.text(), found.begin()->endpoint(), nullptr};
        resolved.socket = std::make_unique<asio::ip::udp::socket>(io_);
        resolved.socket->open(resolved.endpoint.protocol());
        // A full send buffer drops a packet instead of holding up the schedule.
        resolved.socket->non_blocking(true);
        targets_.push_back(std::move(resolved));
    }
    if (targets_.empty()) {
        return;
    }
    spdlog::info("FreeD output: {0} packets a second to {1} target(s).", rate, targets_.size());
    // A sender that fails fails again on the next tick: it ends, and the user is told, while
    // the rest of the studio and the server go on.
    thread_.start(
        {.name = "freed", .service = "FreeD output", .onFailure = platform::OnFailure::end},
        [this](std::stop_token stop) { run(std::move(stop)); });
}

FreedSender::~FreedSender() {
    thread_.stop();
}

void FreedSender::run(std::stop_token stop) {
    using Clock = std::chrono::steady_clock;
    auto next = Clock::now();
    std::unique_lock lock(mutex_);
    while (!stop.stop_requested()) {
        next += period_;
        // Woken early only by a stop request: the predicate stays false until then.
        if (wake_.wait_until(lock, stop, next, [] { return false; }); stop.stop_requested()) {
            break;
        }
        platform::faultPoint();
        const auto now = Clock::now();
        counters_.recordLateness(
            std::chrono::duration_cast<std::chrono::microseconds>(now - next).count());
        sendTick(now);
        // After a long stall (a suspended machine), the missed ticks are skipped, not sent in a
        // burst; the phase of the schedule is kept.
        while (now - next >= period_) {
            next += period_;
        }
    }
}

void FreedSender::sendTick(SteadyTime now) {
    for (const auto& camera : liveCameras_(now)) {
        const auto packet = encodeFreedD1(camera.pose);
        for (auto& target : targets_) {
            std::error_code error;
            target.socket->send_to(asio::buffer(packet), target.endpoint, 0, error);
            if (error) {
                counters_.setError(fmt::format("FreeD to {0}: {1}", target.name, error.message()));
                continue;
            }
            counters_.packetsSent.fetch_add(1, std::memory_order_relaxed);
        }
    }
}

}  // namespace kinetra::studio
