// VISCA over IP against /v2: (1) an AbsolutePosition datagram from a controller on loopback to
// the moment its realTimeMoveFixedDuration reaches the emulated adapter's line, and (2) the same
// command as a /v2 JSON-RPC call on a WebSocket, from the client's send to the same moment,
// measured in the same run on the same rig, one command of each in turn, so that a pause of the
// machine falls on both transports alike rather than on one round. Commands are paced (and spread
// over several controllers) to stay under the VISCA input's per-controller rate. Runs on the
// program's main thread; the rig's parts run their own threads.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include "bundle_rig.hpp"
#include "net/udp_listener.hpp"
#include "socket_clients.hpp"
#include "studio/studio_service.hpp"
#include "studio/visca_codec.hpp"
#include "support/hex.hpp"

namespace {

using namespace kinetra;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::uint8_t kRealTimeMoveOpcode = 0x8A;
constexpr auto kArrivalTimeout = 1s;
constexpr auto kPace = 5ms;      // between commands: 200 a second in all
constexpr int kControllers = 8;  // 25 a second each, half the VISCA input's rate
constexpr int kWarmUp = 40;

struct Samples {
    std::vector<double> micros;
    int failed = 0;
};

struct Percentiles {
    double p50 = 0;
    double p99 = 0;
};

Percentiles percentiles(std::vector<double> values) {
    if (values.empty()) {
        return {};
    }
    std::sort(values.begin(), values.end());
    return {values[values.size() / 2],
            values[std::min(values.size() - 1, values.size() * 99 / 100)]};
}

// A VISCA controller: a UDP socket of its own that sends to the camera's port.
class Controller {
public:
    explicit Controller(std::uint16_t camera) : fd_(::socket(AF_INET, SOCK_DGRAM, 0)) {
        to_.sin_family = AF_INET;
        to_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to_.sin_port = htons(camera);
    }
    ~Controller() { ::close(fd_); }
    Controller(const Controller&) = delete;
    Controller& operator=(const Controller&) = delete;
    void send(const core::Bytes& message) {
        const auto datagram =
            studio::visca::datagram(studio::visca::kCommand, sequence_++, message);
        ::sendto(fd_, datagram.data(), datagram.size(), MSG_DONTWAIT,
                 reinterpret_cast<const sockaddr*>(&to_), sizeof to_);
    }

private:
    int fd_;
    sockaddr_in to_{};
    std::uint32_t sequence_ = 1;
};

// Pan to `units` hundredths of a degree (tilt 0) at the top speeds.
core::Bytes absolutePosition(int units) {
    core::Bytes message{0x81, 0x01, 0x06, 0x02, 0x18, 0x17};
    studio::visca::appendNibbles(message, static_cast<std::uint16_t>(units));
    studio::visca::appendNibbles(message, 0);
    message.push_back(0xFF);
    return message;
}

std::string rpcCall(int id, const std::string& path, int units) {
    const json request{{"command", "realTimeMoveFixedDuration"},
                       {"duration", 0.1},
                       {"headPan", units / 100.0},
                       {"headTilt", 0.0},
                       {"slide", 0.0}};
    return bench::maskedTextFrame(fmt::format(
        R"({{"jsonrpc":"2.0","id":{0},"method":"call","params":{{"path":"{1}","request":{2}}}}})",
        id, path, request.dump()));
}

// Sends through `send` and waits for the move on the line.
template <typename Send>
void measure(bench::BundleRig& rig, Samples& samples, Send&& send) {
    const auto from = rig.emulator().receivedCount();
    const auto sent = Clock::now();
    send();
    const auto arrival =
        rig.emulator().waitForDeviceMessage(kRealTimeMoveOpcode, kArrivalTimeout, from);
    if (!arrival) {
        ++samples.failed;
    } else {
        samples.micros.push_back(
            std::chrono::duration<double, std::micro>(arrival->at - sent).count());
    }
    std::this_thread::sleep_until(sent + kPace);
}

void printRow(const char* name, const Samples& samples, const Percentiles& base) {
    const auto p = percentiles(samples.micros);
    std::printf("  %-44s %9.1f %9.1f %9.2f %9.2f", name, p.p50, p.p99, p.p50 / base.p50,
                p.p99 / base.p99);
    if (samples.failed > 0) {
        std::printf("   %d FAILED", samples.failed);
    }
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
    const int commands = argc > 1 ? std::atoi(argv[1]) : 1000;
    if (commands < 1) {
        std::fprintf(stderr, "usage: %s [commands per transport >= 1]\n", argv[0]);
        return 2;
    }
    spdlog::set_level(spdlog::level::warn);
    ::prctl(PR_SET_TIMERSLACK, 1000UL, 0UL, 0UL, 0UL);
    bench::BundleRig rig(10ms, gateway::Server::defaultWorkerCount());
    studio::StudioSettings settings;
    settings.visca.address = "127.0.0.1";
    const std::uint16_t port = net::test::UdpListener().port();
    settings.visca.ports = {{rig.linkId(), port}};
    studio::StudioService studio(settings);
    std::vector<std::unique_ptr<Controller>> controllers;
    for (int i = 0; i < kControllers; ++i) {
        controllers.push_back(std::make_unique<Controller>(port));
    }
    bench::WsClient v2(rig.server().webSocketPort(), "/v2");

    int next = 0;  // each command a new target, so that each is a move of its own
    int id = 0;
    const auto viscaCommands = [&](int count, Samples& samples) {
        for (int i = 0; i < count; ++i) {
            const auto message = absolutePosition(100 + (++next % 50) * 10);
            measure(rig, samples, [&] { controllers[next % kControllers]->send(message); });
        }
    };
    const auto v2Commands = [&](int count, Samples& samples) {
        for (int i = 0; i < count; ++i) {
            const auto frame = rpcCall(++id, rig.bundlePath(), 100 + (++next % 50) * 10);
            measure(rig, samples, [&] { v2.send(frame); });
            v2.receive();  // the call's reply, read after the measurement
        }
    };
    // Warm-up, and the studio's first status (VISCA moves need it): until a move arrives.
    Samples ignored;
    for (int i = 0; i < 200 && ignored.micros.size() < kWarmUp; ++i) {
        viscaCommands(1, ignored);
    }
    if (ignored.micros.empty()) {
        std::fprintf(stderr, "no VISCA move reached the line\n");
        return 1;
    }
    v2Commands(kWarmUp, ignored);

    Samples visca;
    Samples rpc;
    for (int i = 0; i < commands; ++i) {
        v2Commands(1, rpc);
        viscaCommands(1, visca);
    }
    std::printf(
        "VISCA benchmark: %d commands per transport, taking turns %d ms apart, over %d "
        "VISCA controllers\n",
        commands, static_cast<int>(kPace.count()), kControllers);
    std::printf("  %-44s %9s %9s %9s %9s\n", "", "p50 us", "p99 us", "p50/(0)", "p99/(0)");
    const auto base = percentiles(rpc.micros);
    printRow("(0) /v2 call: client send -> adapter line", rpc, base);
    printRow("(1) VISCA datagram -> adapter line", visca, base);
    const auto p = percentiles(visca.micros);
    const bool met = p.p50 <= 1.5 * base.p50 && p.p99 <= 1.5 * base.p99 && visca.failed == 0;
    std::printf("target: VISCA within 1.5x of /v2 at p50 and p99: %.2f, %.2f, %s\n",
                p.p50 / base.p50, p.p99 / base.p99, met ? "met" : "MISSED");
    return 0;
}
