// Gateway v2 figures on loopback: (a) HTTP throughput while requests wait on a silent link,
// as a ratio of the throughput with every link healthy, measured in the same run; (b) the
// latency from a status message published on the feed (as a bundle's status thread does) to
// its /v2 notification at the client, with 1, 10 and 100 subscribers, and the gateway's CPU
// per subscriber at 20 status messages a second. Clients are the program's own threads.
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <spdlog/spdlog.h>
#include <zmq.hpp>

#include "bundle/socket_clients.hpp"
#include "bus/feed.hpp"
#include "bus/socket_registry.hpp"
#include "core/json.hpp"
#include "gateway/server.hpp"
#include "gateway_load.hpp"

namespace {

using namespace kinetra;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Each exchange reads its answer to the connection's end, so it asks for that end: a kept
// connection would hold the reader until the server's keep-alive bound.
constexpr std::string_view kRequest =
    "POST /v1/bench/healthy HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
    "Content-Length: 2\r\n\r\n{}";
constexpr std::string_view kSilentRequest =
    "POST /v1/bench/silent HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
    "Content-Length: 2\r\n\r\n{}";

// One HTTP exchange on a new connection; true when the healthy reply came.
bool httpOnce(std::uint16_t port, std::string_view request) {
    const int fd = bench::connectTo(port);
    bench::sendAll(fd, request);
    return bench::readHttpBody(fd) == R"({"result":"ok"})";
}

// Requests per second of `clients` threads doing healthy requests for `duration`.
double throughput(std::uint16_t port, int clients, std::chrono::milliseconds duration) {
    bench::Samples samples;
    bench::runLoad(
        clients, std::numeric_limits<int>::max(), Clock::now() + duration,
        [port](int) { return [port] { return httpOnce(port, kRequest); }; }, samples);
    return static_cast<double>(samples.latencies.size() - samples.wrong) /
           std::chrono::duration<double>(duration).count();
}

// A /v2 client reading frames (server frames are unmasked; lengths up to 64 KiB here).
struct V2Client {
    int fd;
    std::string buffer;

    explicit V2Client(std::uint16_t port) : fd(bench::connectTo(port)) {
        bench::sendAll(fd,
                       "GET /v2 HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: "
                       "Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                       "Sec-WebSocket-Version: 13\r\n\r\n");
        // Waits for the whole handshake answer: frames are read only from behind it, and a
        // piece of it left for later would be taken for a frame and put every payload after
        // it one message late.
        while (buffer.find("\r\n\r\n") == std::string::npos) {
            pollfd item{fd, POLLIN, 0};
            if (::poll(&item, 1, 2000) <= 0 || !readSome()) {
                throw std::runtime_error("no WebSocket handshake answer");
            }
        }
        buffer.erase(0, buffer.find("\r\n\r\n") + 4);
    }
    ~V2Client() { ::close(fd); }
    bool readSome() {
        char chunk[8192];
        const auto size = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (size <= 0) {
            return false;
        }
        buffer.append(chunk, static_cast<std::size_t>(size));
        return true;
    }
    void sendText(std::string_view payload) { bench::sendAll(fd, bench::maskedTextFrame(payload)); }
    // The next whole frame's payload, if buffered.
    std::optional<std::string> take() {
        if (buffer.size() < 2) {
            return std::nullopt;
        }
        std::size_t size = static_cast<std::uint8_t>(buffer[1]) & 0x7F;
        std::size_t header = 2;
        if (size == 126) {
            if (buffer.size() < 4) {
                return std::nullopt;
            }
            size =
                (static_cast<std::uint8_t>(buffer[2]) << 8) | static_cast<std::uint8_t>(buffer[3]);
            header = 4;
        }
        if (buffer.size() < header + size) {
            return std::nullopt;
        }
        std::string payload = buffer.substr(header, size);
        buffer.erase(0, header + size);
        return payload;
    }
    std::string next() {
        for (;;) {
            if (auto payload = take()) {
                return *payload;
            }
            pollfd item{fd, POLLIN, 0};
            ::poll(&item, 1, 2000);
            if (!readSome()) {
                return {};
            }
        }
    }
};

double threadCpuSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

double processCpuSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

std::int64_t nowNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

struct Latency {
    double p50 = 0;  // microseconds
    double p99 = 0;
    double cpuPerSubscriber = 0;  // share of one core
    std::size_t missing = 0;
};

// `subscribers` /v2 clients on one status topic; `messages` published 50 ms apart.
Latency statusLatency(std::uint16_t port, zmq::socket_t& publisher, int subscribers, int messages) {
    const std::string topic = bus::statusTopic("KBENCH");
    std::vector<std::unique_ptr<V2Client>> clients;
    for (int i = 0; i < subscribers; ++i) {
        clients.push_back(std::make_unique<V2Client>(port));
        clients.back()->sendText(
            R"({"jsonrpc":"2.0","id":1,"method":"subscribe","params":{"topic":"status","linkID":"KBENCH"}})");
        clients.back()->next();
    }
    // Until every subscriber sees the feed (subscriptions reach the publisher on their own time).
    std::vector<bool> seen(clients.size(), false);
    const auto warmUpEnd = Clock::now() + 5s;
    while (std::find(seen.begin(), seen.end(), false) != seen.end() && Clock::now() < warmUpEnd) {
        bus::publish(publisher, topic, R"({"t":0})");
        std::this_thread::sleep_for(20ms);
        for (std::size_t i = 0; i < clients.size(); ++i) {
            while (clients[i]->readSome()) {
            }
            while (clients[i]->take()) {
                seen[i] = true;
            }
        }
    }
    std::this_thread::sleep_for(100ms);  // the last warm-up notifications arrive
    for (auto& client : clients) {
        while (client->readSome()) {
        }
        while (client->take()) {
        }
    }

    std::vector<double> latencies;
    double readerCpu = 0;
    std::jthread reader([&] {
        const double started = threadCpuSeconds();
        std::vector<pollfd> items;
        for (auto& client : clients) {
            items.push_back({client->fd, POLLIN, 0});
        }
        std::size_t expected = static_cast<std::size_t>(subscribers) * messages;
        const auto deadline = Clock::now() + std::chrono::milliseconds(messages * 50 + 2000);
        while (latencies.size() < expected && Clock::now() < deadline) {
            ::poll(items.data(), items.size(), 100);
            for (std::size_t i = 0; i < items.size(); ++i) {
                if ((items[i].revents & POLLIN) == 0) {
                    continue;
                }
                const auto received = nowNanoseconds();
                clients[i]->readSome();
                while (const auto payload = clients[i]->take()) {
                    const auto at = payload->find(R"("t":)");
                    if (at != std::string::npos) {
                        const auto sent = std::stoll(payload->substr(at + 4));
                        const double micros = static_cast<double>(received - sent) / 1000.0;
                        // Warm-up messages carry 0; anything outside 0..10 s is a misread.
                        if (sent != 0 && micros > 0 && micros < 1e7) {
                            latencies.push_back(micros);
                        }
                    }
                }
            }
        }
        readerCpu = threadCpuSeconds() - started;
    });
    const double processBefore = processCpuSeconds();
    const double publisherBefore = threadCpuSeconds();
    const auto started = Clock::now();
    for (int n = 0; n < messages; ++n) {
        // A status body of the usual size, with the time it was published.
        bus::publish(publisher, topic,
                     R"({"battery":87,"readings":{"headPan":1.5,"headTilt":-2.25,"slide":0.5},)"
                     R"("state":"idle","t":)" +
                         std::to_string(nowNanoseconds()) + "}");
        std::this_thread::sleep_until(started + (n + 1) * 50ms);  // 20 messages a second
    }
    const double publisherCpu = threadCpuSeconds() - publisherBefore;
    reader.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    const double serverCpu = processCpuSeconds() - processBefore - publisherCpu - readerCpu;

    Latency result;
    std::sort(latencies.begin(), latencies.end());
    if (!latencies.empty()) {
        result.p50 = latencies[latencies.size() / 2];
        result.p99 = latencies[std::min(latencies.size() - 1, latencies.size() * 99 / 100)];
    }
    result.missing = static_cast<std::size_t>(subscribers) * messages - latencies.size();
    result.cpuPerSubscriber = std::max(0.0, serverCpu) / seconds / subscribers;
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 3;
    spdlog::set_level(
        spdlog::level::err);  // the silent link's offline/timeout lines are not results
    bench::BusResponder healthy({"inproc://v1/bench/healthy"});
    bench::BusResponder silent({"inproc://v1/bench/silent"}, true);
    gateway::Server server(
        config::ServerSettings{"127.0.0.1", "0", "127.0.0.1", "0", "127.0.0.1", "0"});
    server.start(gateway::Server::defaultWorkerCount());
    const auto port = server.httpPort();

    // (a) Rounds alternate healthy and silent so that a neighbour's burst hits both alike.
    constexpr int kClients = 4;
    constexpr int kWaiting = 8;         // requests kept waiting on the silent link at all times
    throughput(port, kClients, 300ms);  // warm-up
    double healthyRate = 0;
    double silentRate = 0;
    const auto round = std::chrono::milliseconds(seconds * 1000 / 4);
    for (int r = 0; r < 2; ++r) {
        healthyRate += throughput(port, kClients, round);
        std::atomic<bool> holding{true};
        std::vector<std::jthread> waiters;
        for (int w = 0; w < kWaiting; ++w) {
            waiters.emplace_back([&] {
                while (holding) {
                    httpOnce(port, kSilentRequest);
                }
            });
        }
        std::this_thread::sleep_for(50ms);  // let them reach the silent link
        silentRate += throughput(port, kClients, round);
        holding = false;
    }
    const double ratio = silentRate / healthyRate;
    std::printf(
        "gateway v2 benchmark\n(a) HTTP with %d clients: %.0f req/s all links healthy, "
        "%.0f req/s with %d requests waiting on a silent link: ratio %.2f (target > 0.90)\n",
        kClients, healthyRate / 2, silentRate / 2, kWaiting, ratio);

    // (b)
    auto publisher = bus::makeFeedPublisher(*bus::SocketRegistry::instance().context());
    const int messages = std::max(20, seconds * 20);
    std::printf("(b) status published on the feed to /v2 notification, 20 messages/s, %d each:\n",
                messages);
    double p50At10 = 0;
    for (const int subscribers : {1, 10, 100}) {
        const auto latency =
            statusLatency(server.webSocketPort(), publisher, subscribers, messages);
        std::printf(
            "  %3d subscribers: p50 %7.1f us  p99 %7.1f us  gateway CPU per subscriber "
            "%.3f%% of a core%s\n",
            subscribers, latency.p50, latency.p99, latency.cpuPerSubscriber * 100,
            latency.missing > 0 ? "  (some notifications missing)" : "");
        if (subscribers == 10) {
            p50At10 = latency.p50;
        }
    }
    std::printf(
        "targets: silent-link ratio %.2f (> 0.90), p50 at 10 subscribers %.1f us (< 1000): %s\n",
        ratio, p50At10, ratio > 0.9 && p50At10 < 1000 ? "met" : "MISSED");
    return 0;
}
