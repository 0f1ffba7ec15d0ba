// Gateway cost on loopback: (a) HTTP through the gateway to a bus service that answers at
// once, (b) a plain HTTP responder on the same network layer (one request per connection, the
// same reply), (c) WebSocket round trips through the bridge. Prints requests per second, p50
// and p99 latency, and the ratios of (a) to (b). Client threads are the program's own; the
// servers run on their worker threads.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <spdlog/spdlog.h>
#include <zmq.hpp>

#include "bus/announce.hpp"
#include "bus/endpoints.hpp"
#include "bus/socket_registry.hpp"
#include "bus/wait.hpp"
#include "gateway/gateway_texts.hpp"
#include "gateway/server.hpp"
#include "net/http_session.hpp"
#include "net/listener_builder.hpp"
#include "net/tcp_service.hpp"
#include "platform/stop_signal.hpp"

namespace {

using namespace kinetra;
using Clock = std::chrono::steady_clock;

constexpr std::string_view kReply = R"({"result":"ok"})";
constexpr std::string_view kRequestBody = R"({"command":"ping"})";
constexpr std::string_view kHttpPath = "/v1/bench/http";

// A bus service that answers every request at once, on one thread, on all its endpoints.
class EchoService {
public:
    explicit EchoService(std::vector<std::string> endpoints)
        : endpoints_(std::move(endpoints)),
          context_(bus::SocketRegistry::instance().context()),
          socket_(*context_, zmq::socket_type::rep) {
        for (const auto& endpoint : endpoints_) {
            socket_.bind(endpoint);
        }
        thread_ = std::jthread([this] { serve(); });
        bus::announceOpen(endpoints_);
        while (!std::all_of(endpoints_.begin(), endpoints_.end(), [](const std::string& name) {
            return bus::SocketRegistry::instance().isOpen(name);
        })) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    ~EchoService() {
        bus::announceClosed(endpoints_);
        stop_.set();
    }

private:
    void serve() {
        const std::array<zmq::socket_ref, 1> sockets{socket_};
        while (bus::waitReadable(sockets, bus::kForever, &stop_)) {
            if (bus::tryReceive(socket_)) {
                socket_.send(zmq::buffer(kReply), zmq::send_flags::none);
            }
        }
    }

    std::vector<std::string> endpoints_;
    std::shared_ptr<zmq::context_t> context_;
    zmq::socket_t socket_;
    platform::StopSignal stop_;
    std::jthread thread_;
};

// The same response on the same layer, without the bus.
class BaselineServer {
public:
    explicit BaselineServer(std::size_t workers) {
        service_->start(workers);
        net::HttpSession::Handlers handlers;
        handlers.onRequest = [](const net::HttpRequest&, const net::HttpSession::Ptr& session) {
            session->send(gateway::httpResponseText(std::string(kReply)));
            session->shutdown();
        };
        listener_.withService(service_)
            .withAddress("127.0.0.1", 0)
            .withSocketSetup(net::ListenerBuilder::tcpNoDelay())
            .withReceiveLimit(gateway::Server::kReceiveLimit)
            .withEnterCallback(net::HttpSession::enterCallback(std::move(handlers)));
        listener_.start();
    }
    ~BaselineServer() {
        listener_.stop();
        service_->stop();
    }
    std::uint16_t port() const { return listener_.port(); }

private:
    std::shared_ptr<net::TcpService> service_ = std::make_shared<net::TcpService>();
    net::ListenerBuilder listener_;
};

int connectTo(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::perror("connect");
        std::exit(1);
    }
    return fd;
}

void sendAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const auto sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent <= 0) {
            std::perror("send");
            std::exit(1);
        }
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
}

// One HTTP request on a new connection, read until the server closes. Returns the body.
std::string httpOnce(std::uint16_t port, const std::string& request) {
    const int fd = connectTo(port);
    sendAll(fd, request);
    std::string response;
    char buffer[4096];
    for (;;) {
        const auto size = ::recv(fd, buffer, sizeof buffer, 0);
        if (size <= 0) {
            break;
        }
        response.append(buffer, static_cast<std::size_t>(size));
    }
    ::close(fd);
    const auto body = response.find("\r\n\r\n");
    return body == std::string::npos ? std::string() : response.substr(body + 4);
}

std::string maskedText(std::string_view payload) {
    std::string frame = "\x81";
    frame.push_back(static_cast<char>(0x80 | payload.size()));  // payloads here are < 126
    const std::array<char, 4> mask{0x12, 0x34, 0x56, 0x78};
    frame.append(mask.begin(), mask.end());
    for (std::size_t i = 0; i < payload.size(); ++i) {
        frame.push_back(static_cast<char>(payload[i] ^ mask[i % 4]));
    }
    return frame;
}

// A WebSocket client for round trips of short messages (replies < 126 bytes).
class WsClient {
public:
    WsClient(std::uint16_t port, const std::string& path) : fd_(connectTo(port)) {
        sendAll(fd_, "GET " + path +
                         " HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: "
                         "Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                         "Sec-WebSocket-Version: 13\r\n\r\n");
        while (buffer_.find("\r\n\r\n") == std::string::npos && readSome()) {
        }
        buffer_.erase(0, buffer_.find("\r\n\r\n") + 4);
    }
    ~WsClient() { ::close(fd_); }
    std::string roundTrip(const std::string& frame) {
        sendAll(fd_, frame);
        while ((buffer_.size() < 2 ||
                buffer_.size() < 2U + (static_cast<std::uint8_t>(buffer_[1]) & 0x7FU)) &&
               readSome()) {
        }
        if (buffer_.size() < 2) {
            return {};
        }
        const std::size_t size = static_cast<std::uint8_t>(buffer_[1]) & 0x7F;
        std::string payload = buffer_.substr(2, size);
        buffer_.erase(0, 2 + size);
        return payload;
    }

private:
    bool readSome() {
        char chunk[4096];
        const auto size = ::recv(fd_, chunk, sizeof chunk, 0);
        if (size <= 0) {
            return false;
        }
        buffer_.append(chunk, static_cast<std::size_t>(size));
        return true;
    }
    int fd_;
    std::string buffer_;
};

// Latencies (microseconds) and busy time of one set-up, summed over rounds.
struct Samples {
    std::vector<double> latencies;
    double seconds = 0;
    int wrong = 0;
};

struct Result {
    double requestsPerSecond = 0;
    double p50 = 0;  // microseconds
    double p99 = 0;
    int wrong = 0;
};

// Runs `clients` threads of `perClient` operations each and adds them to `samples`;
// `makeClient(i)` returns the operation of client i (true when the answer was right).
void runLoad(int clients, int perClient,
             const std::function<std::function<bool()>(int client)>& makeClient, Samples& samples) {
    std::vector<std::vector<double>> latencies(static_cast<std::size_t>(clients));
    std::vector<int> wrong(static_cast<std::size_t>(clients), 0);
    const auto started = Clock::now();
    {
        std::vector<std::jthread> threads;
        for (int c = 0; c < clients; ++c) {
            threads.emplace_back([&, c] {
                auto operation = makeClient(c);
                auto& mine = latencies[static_cast<std::size_t>(c)];
                mine.reserve(static_cast<std::size_t>(perClient));
                for (int i = 0; i < perClient; ++i) {
                    const auto begin = Clock::now();
                    const bool right = operation();
                    mine.push_back(
                        std::chrono::duration<double, std::micro>(Clock::now() - begin).count());
                    wrong[static_cast<std::size_t>(c)] += right ? 0 : 1;
                }
            });
        }
    }
    samples.seconds += std::chrono::duration<double>(Clock::now() - started).count();
    for (const auto& mine : latencies) {
        samples.latencies.insert(samples.latencies.end(), mine.begin(), mine.end());
    }
    for (int count : wrong) {
        samples.wrong += count;
    }
}

Result summarise(Samples samples) {
    auto& all = samples.latencies;
    std::sort(all.begin(), all.end());
    Result result;
    result.requestsPerSecond = static_cast<double>(all.size()) / samples.seconds;
    result.p50 = all[all.size() / 2];
    result.p99 = all[std::min(all.size() - 1, all.size() * 99 / 100)];
    result.wrong = samples.wrong;
    return result;
}

void print(const char* name, const Result& result) {
    std::printf("  %-44s %10.0f req/s   p50 %8.1f us   p99 %8.1f us%s\n", name,
                result.requestsPerSecond, result.p50, result.p99,
                result.wrong > 0 ? "   WRONG ANSWERS" : "");
}

}  // namespace

int main(int argc, char** argv) {
    const int perClient = argc > 1 ? std::atoi(argv[1]) : 3000;
    const std::size_t workers = gateway::Server::defaultWorkerCount();
    spdlog::set_level(spdlog::level::warn);  // the servers' start-up lines are not results

    const std::string request = "POST " + std::string(kHttpPath) +
                                " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json"
                                "\r\nContent-Length: " +
                                std::to_string(kRequestBody.size()) + "\r\n\r\n" +
                                std::string(kRequestBody);
    constexpr int kMaxClients = 4;
    constexpr int kRounds = 6;
    std::vector<std::string> endpoints{bus::endpointForPath(kHttpPath)};
    for (int c = 0; c < kMaxClients; ++c) {
        endpoints.push_back(bus::endpointForPath("/v1/bench/ws/" + std::to_string(c)));
    }
    EchoService echo(endpoints);
    gateway::Server server(
        config::ServerSettings{"127.0.0.1", "0", "127.0.0.1", "0", "127.0.0.1", "0"});
    server.start(workers);
    BaselineServer baseline(workers);

    const auto http = [&](std::uint16_t port) {
        return [&, port](int) { return [&, port] { return httpOnce(port, request) == kReply; }; };
    };
    const auto webSocket = [&](int client) {
        auto ws = std::make_shared<WsClient>(server.webSocketPort(),
                                             "/v1/bench/ws/" + std::to_string(client));
        const std::string frame = maskedText(kRequestBody);
        return [ws, frame] { return ws->roundTrip(frame) == kReply; };
    };

    // Warm-up: first connections, first sockets, page faults.
    Samples ignored;
    runLoad(1, 200, http(server.httpPort()), ignored);
    runLoad(1, 200, http(baseline.port()), ignored);

    std::printf("gateway benchmark: %zu worker threads, %d requests per client in %d rounds\n",
                workers, perClient, kRounds);
    // The added latency is read without load (one client), the throughput under load (four
    // clients keep every core busy, so there latency is mostly queueing).
    double addedP50Unloaded = 0;
    double throughputLoaded = 0;
    int wrong = 0;
    for (const int clients : {1, kMaxClients}) {
        std::printf("%d client%s:\n", clients, clients == 1 ? "" : "s");
        // Rounds alternate the set-ups, so a neighbour's burst on a shared machine does not
        // land on one of them only.
        Samples gatewaySamples;
        Samples baselineSamples;
        Samples webSocketSamples;
        for (int round = 0; round < kRounds; ++round) {
            runLoad(clients, perClient / kRounds, http(server.httpPort()), gatewaySamples);
            runLoad(clients, perClient / kRounds, http(baseline.port()), baselineSamples);
            runLoad(clients, perClient / kRounds, webSocket, webSocketSamples);
        }
        const auto a = summarise(std::move(gatewaySamples));
        const auto b = summarise(std::move(baselineSamples));
        const auto c = summarise(std::move(webSocketSamples));
        print("(a) HTTP through the gateway and the bus", a);
        print("(b) HTTP baseline on the same layer, no bus", b);
        print("(c) WebSocket round trip through the bridge", c);
        const double throughput = a.requestsPerSecond / b.requestsPerSecond;
        std::printf("  (a)/(b): throughput %.2f, p50 %.2f, p99 %.2f; added p50 %.1f us\n",
                    throughput, a.p50 / b.p50, a.p99 / b.p99, a.p50 - b.p50);
        (clients == 1 ? addedP50Unloaded : throughputLoaded) =
            clients == 1 ? a.p50 - b.p50 : throughput;
        wrong += a.wrong + b.wrong + c.wrong;
    }
    const bool met = throughputLoaded >= 0.5 && addedP50Unloaded < 100 && wrong == 0;
    std::printf(
        "targets: throughput (a)/(b) with %d clients %.2f (>= 0.50), added p50 with 1 "
        "client %.1f us (< 100): %s\n",
        kMaxClients, throughputLoaded, addedP50Unloaded, met ? "met" : "MISSED");
    return 0;
}
