// How fast a stop reaches the line behind a queue: N slow commands (key-pose moves to an empty
// slot, which the head refuses, so each holds the link for its three attempts) are queued for
// one bundle, one per client, the first of them in flight; then a motionAbort is sent, and the
// time from its send to its arrival at the emulated adapter's line is taken. Commands and stop
// go on one DEALER, as the gateway's route sends them, so the stop is known to come after all N
// (over HTTP the gateway adds its own, constant, part: bench_bundle_e2e measures that).
// N = 0 (nothing queued, nothing in flight) is the baseline of the ratios. Every queued command
// must come back "cancelled by stop"; a sample where one did not is counted. Runs on the
// program's main thread; the rig's parts run their own threads.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <sys/prctl.h>

#include <spdlog/spdlog.h>
#include <zmq_addon.hpp>

#include "bundle_rig.hpp"
#include "bus/endpoints.hpp"
#include "bus/request_tag.hpp"
#include "bus/socket_registry.hpp"
#include "bus/wait.hpp"

namespace {

using namespace kinetra;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::uint8_t kKeyposeMove = 0x07;  // the head's
constexpr std::uint8_t kMotionAbort = 0x09;
constexpr std::array<int, 4> kQueued = {0, 10, 100, 1000};
constexpr auto kArrivalTimeout = 2s;
constexpr std::string_view kSlow =
    R"({"command":"keyposeMoveFixedDuration","index":5,"duration":1,"acceleration":0.5})";
constexpr std::string_view kCancelled = R"({"result":"cancelled by stop"})";

struct Level {
    std::vector<double> latencies;  // milliseconds
    int failed = 0;  // the stop did not arrive, or a queued command was not cancelled
};

double percentile(std::vector<double> values, double fraction) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<std::size_t>(values.size() * fraction))];
}

// Sends one tagged request on `dealer`: from its own client and without patience (so it never
// expires). Returns its id.
std::uint64_t sendTagged(zmq::socket_t& dealer, std::string_view body, std::uint64_t& nextId) {
    const auto id = ++nextId;
    const auto tag = bus::encodeRequestTag({.id = id, .client = id});
    const std::array<zmq::const_buffer, 3> frames{zmq::buffer(tag), zmq::const_buffer(),
                                                  zmq::buffer(body)};
    zmq::send_multipart(dealer, frames);
    return id;
}

// Takes replies off `dealer` until the stop's and `count` others have come; true when the stop
// was acknowledged and every other one is "cancelled by stop".
bool answeredAsExpected(zmq::socket_t& dealer, int count, std::uint64_t stopId) {
    bool expected = true;
    for (int i = 0; i <= count; ++i) {
        std::vector<zmq::message_t> frames;
        if (!bus::waitReadable(std::array<zmq::socket_ref, 1>{dealer}, kArrivalTimeout) ||
            !zmq::recv_multipart(dealer, std::back_inserter(frames)) || frames.size() != 3) {
            return false;
        }
        const auto tag = bus::decodeRequestTag(
            {static_cast<const std::uint8_t*>(frames[0].data()), frames[0].size()});
        const bool isStop = tag && tag->id == stopId;
        expected = expected && frames[2].to_string_view() ==
                                   (isStop ? std::string_view(R"({"result":"ok"})") : kCancelled);
    }
    return expected;
}

void sample(bench::BundleRig& rig, zmq::socket_t& dealer, int queued, std::uint64_t& nextId,
            Level& level) {
    auto& emulator = rig.emulator();
    const auto from = emulator.receivedCount();
    for (int i = 0; i < queued; ++i) {
        sendTagged(dealer, kSlow, nextId);
    }
    if (queued > 0 && !emulator.waitForDeviceMessage(kKeyposeMove, kArrivalTimeout, from)) {
        ++level.failed;
        return;
    }
    const auto sent = Clock::now();
    const auto stopId = sendTagged(dealer, R"({"command":"motionAbort"})", nextId);
    const auto arrival = emulator.waitForDeviceMessage(kMotionAbort, kArrivalTimeout, from);
    if (!answeredAsExpected(dealer, queued, stopId) || !arrival) {
        ++level.failed;
        return;
    }
    level.latencies.push_back(
        std::chrono::duration<double, std::milli>(arrival->at - sent).count());
}

}  // namespace

int main(int argc, char** argv) {
    const int samples = argc > 1 ? std::atoi(argv[1]) : 100;
    if (samples < 1) {
        std::fprintf(stderr, "usage: %s [samples per queue length >= 1]\n", argv[0]);
        return 2;
    }
    spdlog::set_level(spdlog::level::warn);  // every command logs its name: not results
    ::prctl(PR_SET_TIMERSLACK, 1000UL, 0UL, 0UL, 0UL);
    bench::BundleRig rig(50ms, gateway::Server::defaultWorkerCount());

    auto context = bus::SocketRegistry::instance().context();
    zmq::socket_t dealer(*context, zmq::socket_type::dealer);
    dealer.set(zmq::sockopt::linger, 0);
    dealer.set(zmq::sockopt::sndhwm, 0);
    dealer.set(zmq::sockopt::rcvhwm, 0);
    dealer.connect(bus::bundleEndpoint(rig.linkId()));
    std::uint64_t nextId = 0;

    std::array<Level, kQueued.size()> levels;
    Level warmUp;
    for (int i = 0; i < 5; ++i) {
        sample(rig, dealer, 10, nextId, warmUp);
    }
    // Rounds go through every queue length, so that a neighbour's burst on a shared machine
    // does not land on one of them only.
    for (int round = 0; round < samples; ++round) {
        for (std::size_t i = 0; i < kQueued.size(); ++i) {
            sample(rig, dealer, kQueued[i], nextId, levels[i]);
        }
    }

    std::printf(
        "stop benchmark: motionAbort on the bus -> adapter line, %d samples per queue "
        "length (slow commands queued before it, the first in flight)\n",
        samples);
    std::printf("  %-28s %9s %9s %9s %9s\n", "", "p50 ms", "p99 ms", "p50/(0)", "p99/(0)");
    const double base50 = percentile(levels[0].latencies, 0.5);
    const double base99 = percentile(levels[0].latencies, 0.99);
    for (std::size_t i = 0; i < kQueued.size(); ++i) {
        const double p50 = percentile(levels[i].latencies, 0.5);
        const double p99 = percentile(levels[i].latencies, 0.99);
        const std::string name =
            std::to_string(kQueued[i]) + " queued" + (i == 0 ? " (baseline)" : "");
        std::printf("  %-28s %9.2f %9.2f %9.2f %9.2f", name.c_str(), p50, p99, p50 / base50,
                    p99 / base99);
        if (levels[i].failed > 0) {
            std::printf("   %d FAILED", levels[i].failed);
        }
        std::printf("\n");
    }
    const double worst = percentile(levels.back().latencies, 0.99);
    std::printf("target: p99 under 100 ms with 1000 queued: %.2f ms, %s\n", worst,
                worst < 100.0 && levels.back().failed == 0 ? "met" : "MISSED");
    return 0;
}
