// FreeD timing with 4 paired bundles: how far each tick's packets arrive from a steady schedule
// (p50, p99, max), at 50 and 60 packets a second, against (0) a bare sleep_until loop sending
// the same packets from this program, measured in the same run; and the CPU the process used
// per second of each phase. The bundles' status is published on the feed at 20 Hz, as paired
// gear reports it. Runs on the program's main thread plus a publisher and a receiver thread.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include <spdlog/spdlog.h>

#include "bus/feed.hpp"
#include "bus/socket_registry.hpp"
#include "net/udp_listener.hpp"
#include "studio/freed_packet.hpp"
#include "studio/studio_service.hpp"

namespace {

using namespace kinetra;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kBundles = 4;
constexpr auto kPhase = 6s;
constexpr auto kStatusInterval = 50ms;

double processCpuSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Publishes a status for each of the bundles every kStatusInterval, as their status threads do.
class StatusPublisher {
public:
    StatusPublisher() {
        thread_ = std::jthread([](std::stop_token stop) {
            const auto context = bus::SocketRegistry::instance().context();
            auto publisher = bus::makeFeedPublisher(*context);
            auto next = Clock::now();
            for (int n = 0; !stop.stop_requested(); ++n) {
                for (int b = 0; b < kBundles; ++b) {
                    const json status{
                        {"readings", {{"headPan", n % 360}, {"headTilt", 5.5}, {"slide", 0.25}}},
                        {"state", "realTimeMove"},
                        {"supportedAxes", json::array()}};
                    bus::publish(publisher, bus::statusTopic("BENCH" + std::to_string(b)),
                                 status.dump());
                }
                next += kStatusInterval;
                std::this_thread::sleep_until(next);
            }
        });
    }

private:
    std::jthread thread_;
};

// Collects the arrival time of each tick's first packet (camera 1) on a loopback port.
class Receiver {
public:
    std::uint16_t port() const { return socket_.port(); }

    /// Arrival times of camera 1's packets for `duration`, and the packet count of all cameras.
    std::pair<std::vector<Clock::time_point>, long> collect(Clock::duration duration) {
        std::vector<Clock::time_point> arrivals;
        long packets = 0;
        const auto end = Clock::now() + duration;
        while (Clock::now() < end) {
            const auto datagram = socket_.next(100ms);
            if (datagram && datagram->first.size() == studio::freed::kPacketSize) {
                ++packets;
                if (datagram->first[studio::freed::kCameraOffset] == 1) {
                    arrivals.push_back(datagram->second);
                }
            }
        }
        return {arrivals, packets};
    }

private:
    net::test::UdpListener socket_;
};

struct Timing {
    double p50Us = 0;
    double p99Us = 0;
    double maxUs = 0;
    double driftUsPerSecond = 0;
    long packets = 0;
    double cpuPercent = 0;
};

// Deviation of arrival k from start + k x period, with the phase taken as the median offset so
// that a constant delay does not count; a schedule that drifts shows as a slope.
Timing timing(const std::vector<Clock::time_point>& arrivals, double rate) {
    Timing result;
    if (arrivals.size() < 10) {
        return result;
    }
    const double period = 1e6 / rate;
    std::vector<double> offsets;
    for (std::size_t k = 0; k < arrivals.size(); ++k) {
        offsets.push_back(
            std::chrono::duration<double, std::micro>(arrivals[k] - arrivals[0]).count() -
            static_cast<double>(k) * period);
    }
    std::vector<double> sorted = offsets;
    std::sort(sorted.begin(), sorted.end());
    const double phase = sorted[sorted.size() / 2];
    std::vector<double> deviations;
    for (const double offset : offsets) {
        deviations.push_back(std::abs(offset - phase));
    }
    std::sort(deviations.begin(), deviations.end());
    result.p50Us = deviations[deviations.size() / 2];
    result.p99Us = deviations[deviations.size() * 99 / 100];
    result.maxUs = deviations.back();
    const double seconds = static_cast<double>(arrivals.size()) / rate;
    result.driftUsPerSecond = (offsets.back() - offsets.front()) / seconds;
    return result;
}

// (0): the naive timer, sending kBundles packets per tick from this thread.
Timing baseline(Receiver& receiver, double rate) {
    std::atomic<bool> done{false};
    std::jthread sender([&] {
        const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in target{};
        target.sin_family = AF_INET;
        target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        target.sin_port = htons(receiver.port());
        const auto period = std::chrono::nanoseconds(static_cast<long>(1e9 / rate));
        auto next = Clock::now();
        while (!done) {
            next += period;
            std::this_thread::sleep_until(next);
            for (int b = 0; b < kBundles; ++b) {
                const auto packet = studio::encodeFreedD1({static_cast<std::uint8_t>(b + 1), 1.0});
                ::sendto(fd, packet.data(), packet.size(), 0,
                         reinterpret_cast<const sockaddr*>(&target), sizeof target);
            }
        }
        ::close(fd);
    });
    const double cpuBefore = processCpuSeconds();
    auto [arrivals, packets] = receiver.collect(kPhase);
    const double cpu = processCpuSeconds() - cpuBefore;
    done = true;
    Timing result = timing(arrivals, rate);
    result.packets = packets;
    result.cpuPercent = 100.0 * cpu / std::chrono::duration<double>(kPhase).count();
    return result;
}

Timing studioAt(Receiver& receiver, int rate) {
    studio::StudioSettings settings;
    settings.freedTargets.push_back({"127.0.0.1", receiver.port()});
    settings.freedRate = rate;
    studio::StudioService service(settings);
    receiver.collect(1s);  // the first statuses arrive; the first ticks are left out
    const double cpuBefore = processCpuSeconds();
    auto [arrivals, packets] = receiver.collect(kPhase);
    const double cpu = processCpuSeconds() - cpuBefore;
    Timing result = timing(arrivals, rate);
    result.packets = packets;
    result.cpuPercent = 100.0 * cpu / std::chrono::duration<double>(kPhase).count();
    return result;
}

void print(const char* name, const Timing& t, int rate) {
    std::printf(
        "  %-34s p50 %7.1f us  p99 %7.1f us  max %8.1f us  drift %+6.1f us/s  %5.1f pkt/s  "
        "cpu %5.2f%%\n",
        name, t.p50Us, t.p99Us, t.maxUs, t.driftUsPerSecond,
        static_cast<double>(t.packets) / std::chrono::duration<double>(kPhase).count(),
        t.cpuPercent);
    (void)rate;
}

}  // namespace

int main() {
    spdlog::set_level(spdlog::level::warn);
    Receiver receiver;
    StatusPublisher publisher;
    std::printf(
        "FreeD timing, %d bundles, %lld s per phase (status published at 20 Hz; the CPU "
        "is the whole process: publisher and receiver included)\n",
        kBundles, static_cast<long long>(std::chrono::seconds(kPhase).count()));
    for (const int rate : {50, 60}) {
        std::printf("%d packets a second per bundle:\n", rate);
        const Timing base = baseline(receiver, rate);
        print("(0) bare sleep_until loop", base, rate);
        const Timing studio = studioAt(receiver, rate);
        print("(1) studio FreeD sender", studio, rate);
        std::printf("  (1)/(0): p99 %.2f, cpu %+.2f points\n",
                    base.p99Us > 0 ? studio.p99Us / base.p99Us : 0.0,
                    studio.cpuPercent - base.cpuPercent);
    }
    return 0;
}
