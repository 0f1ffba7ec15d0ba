// Gateway cost on loopback: (a) HTTP through the gateway to a bus service that answers at
// once, (b) a plain HTTP responder on the same network layer (one request per connection, the
// same reply), (c) WebSocket round trips through the bridge. Prints requests per second, p50
// and p99 latency, and the ratios of (a) to (b). Client threads are the program's own; the
// servers run on their worker threads.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <spdlog/spdlog.h>

#include "bundle/socket_clients.hpp"
#include "bus/endpoints.hpp"
#include "gateway/gateway_texts.hpp"
#include "gateway/server.hpp"
#include "gateway_load.hpp"
#include "net/http_session.hpp"
#include "net/listener_builder.hpp"
#include "net/tcp_service.hpp"

namespace {

using namespace kinetra;
using bench::runLoad;
using bench::Samples;
using Clock = std::chrono::steady_clock;

constexpr std::string_view kReply = R"({"result":"ok"})";
constexpr std::string_view kRequestBody = R"({"command":"ping"})";
constexpr std::string_view kHttpPath = "/v1/bench/http";
constexpr auto kNoDeadline = Clock::time_point::max();

// The same response on the same layer, without the bus.
class BaselineServer {
public:
    explicit BaselineServer(std::size_t workers) {
        service_->start(workers);
        net::HttpSession::Handlers handlers;
        handlers.onRequest = [](const net::HttpRequest&, const net::HttpSession::Ptr& session) {
            session->respond(gateway::httpResponseText(std::string(kReply)));
        };
        listener_.withService(service_)
            .withAddress("127.0.0.1", 0)
            .withNoDelay()
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

struct Result {
    double requestsPerSecond = 0;
    double p50 = 0;  // microseconds
    double p99 = 0;
    int wrong = 0;
};

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

    const std::string request = bench::httpPost(kHttpPath, kRequestBody);
    constexpr int kMaxClients = 4;
    constexpr int kRounds = 6;
    std::vector<std::string> endpoints{bus::endpointForPath(kHttpPath)};
    for (int c = 0; c < kMaxClients; ++c) {
        endpoints.push_back(bus::endpointForPath("/v1/bench/ws/" + std::to_string(c)));
    }
    bench::BusResponder echo(endpoints);
    gateway::Server server(
        config::ServerSettings{"127.0.0.1", "0", "127.0.0.1", "0", "127.0.0.1", "0"});
    server.start(workers);
    BaselineServer baseline(workers);

    const auto http = [&](std::uint16_t port) {
        return [&, port](int) {
            return [&, port] {
                const int fd = bench::connectTo(port);
                bench::sendAll(fd, request);
                return bench::readHttpBody(fd) == kReply;
            };
        };
    };
    const auto webSocket = [&](int client) {
        auto ws = std::make_shared<bench::WsClient>(server.webSocketPort(),
                                                    "/v1/bench/ws/" + std::to_string(client));
        const std::string frame = bench::maskedTextFrame(kRequestBody);
        return [ws, frame] {
            ws->send(frame);
            return ws->receive() == kReply;
        };
    };

    // Warm-up: first connections, first sockets, page faults.
    Samples ignored;
    runLoad(1, 200, kNoDeadline, http(server.httpPort()), ignored);
    runLoad(1, 200, kNoDeadline, http(baseline.port()), ignored);

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
            runLoad(clients, perClient / kRounds, kNoDeadline, http(server.httpPort()),
                    gatewaySamples);
            runLoad(clients, perClient / kRounds, kNoDeadline, http(baseline.port()),
                    baselineSamples);
            runLoad(clients, perClient / kRounds, kNoDeadline, webSocket, webSocketSamples);
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
