// Costs of the network layer, each as a ratio against a baseline timed in the same run: frame
// decoding and request parsing against copying the same bytes, and an HTTP round trip over
// loopback against a raw TCP echo on the same service. Runs on the benchmark's thread.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>

#include "net/http_parser.hpp"
#include "net/http_response.hpp"
#include "net/http_session.hpp"
#include "net/listener_builder.hpp"
#include "net/tcp_service.hpp"
#include "net/websocket_format.hpp"

namespace {

using kinetra::net::HttpSession;
using kinetra::net::ListenerBuilder;
using kinetra::net::TcpConnection;
using kinetra::net::TcpService;
using kinetra::net::WebSocketFormat;
using Clock = std::chrono::steady_clock;

std::string maskedFrame(std::size_t size) {
    std::string frame = "\x81";
    if (size < 126) {
        frame.push_back(static_cast<char>(0x80 | size));
    } else {
        frame.push_back(static_cast<char>(0x80 | 126));
        frame.push_back(static_cast<char>(size >> 8));
        frame.push_back(static_cast<char>(size & 0xFF));
    }
    frame.append("\x11\x22\x33\x44");
    frame.append(size, 'q');
    return frame;
}

// Runs `work` for the benchmark's iterations and `baseline` as often; reports their ratio.
template <typename Work, typename Baseline>
void measureAgainst(benchmark::State& state, Work work, Baseline baseline) {
    Clock::duration ours{};
    std::int64_t runs = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        work();
        ours += Clock::now() - start;
        ++runs;
    }
    const auto start = Clock::now();
    for (std::int64_t i = 0; i < runs; ++i) {
        baseline();
    }
    const auto base = Clock::now() - start;
    state.counters["ratio_to_baseline"] =
        base.count() > 0 ? static_cast<double>(ours.count()) / static_cast<double>(base.count())
                         : 0.0;
}

void DecodeFrame(benchmark::State& state) {
    const std::string frame = maskedFrame(static_cast<std::size_t>(state.range(0)));
    const auto bytes = kinetra::net::asBytes(frame);
    measureAgainst(
        state, [&] { benchmark::DoNotOptimize(WebSocketFormat::decodeFrame(bytes, 1 << 20)); },
        [&] {
            std::string copy(frame);
            benchmark::DoNotOptimize(copy);
        });
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(frame.size()));
}
BENCHMARK(DecodeFrame)->Arg(64)->Arg(1024)->Arg(8000);

void ParseRequest(benchmark::State& state) {
    const std::string request =
        "POST /v1/bundle/AB12CD34 HTTP/1.1\r\nHost: 127.0.0.1:32222\r\nUser-Agent: bench\r\n"
        "Accept: */*\r\nContent-Type: application/json\r\nContent-Length: 72\r\n\r\n"
        R"({"command":"realTimeMoveFixedDuration","pan":120,"tilt":-45,"slide":3000})";
    measureAgainst(
        state,
        [&] {
            kinetra::net::HTTPParser parser;
            benchmark::DoNotOptimize(parser.feed(request));
            benchmark::DoNotOptimize(parser.takeRequest());
        },
        [&] {
            std::string copy(request);
            benchmark::DoNotOptimize(copy);
        });
}
BENCHMARK(ParseRequest);

// A blocking loopback client: one request out, reads until `expected` bytes came back.
class Client {
public:
    explicit Client(std::uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int one = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        ok_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~Client() { ::close(fd_); }
    bool ok() const { return ok_; }
    bool roundTrip(const std::string& request, std::size_t expected) {
        if (::send(fd_, request.data(), request.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(request.size())) {
            return false;
        }
        std::size_t got = 0;
        char buffer[4096];
        while (got < expected) {
            const auto size = ::recv(fd_, buffer, sizeof buffer, 0);
            if (size <= 0) {
                return false;
            }
            got += static_cast<std::size_t>(size);
        }
        return true;
    }

private:
    int fd_;
    bool ok_ = false;
};

void LoopbackRoundTrip(benchmark::State& state) {
    auto service = std::make_shared<TcpService>();
    service->start(2);
    const std::string reply = kinetra::net::HttpResponse()
                                  .addHeader("Content-Type", "application/json")
                                  .setBody(R"({"result":"ok"})")
                                  .toString();
    HttpSession::Handlers handlers;
    handlers.onRequest = [&reply](const kinetra::net::HttpRequest&,
                                  const HttpSession::Ptr& session) { session->send(reply); };
    ListenerBuilder http;
    http.withService(service).withAddress("127.0.0.1", 0).withNoDelay();
    http.withEnterCallback(HttpSession::enterCallback(std::move(handlers)));
    http.start();
    // Baseline: the same service echoing raw bytes, no HTTP.
    ListenerBuilder echo;
    echo.withService(service).withAddress("127.0.0.1", 0).withNoDelay();
    echo.withEnterCallback([](const TcpConnection::Ptr& connection) {
        connection->setDataCallback(
            [connection](std::string_view data) { connection->send(std::string(data)); });
    });
    echo.start();

    const std::string request =
        "POST /v1/device HTTP/1.1\r\nConnection: Keep-Alive\r\nContent-Length: 2\r\n\r\n{}";
    Client httpClient(http.port());
    Client echoClient(echo.port());
    if (!httpClient.ok() || !echoClient.ok()) {
        state.SkipWithError("cannot connect on loopback");
        return;
    }
    measureAgainst(
        state, [&] { httpClient.roundTrip(request, reply.size()); },
        [&] { echoClient.roundTrip(request, request.size()); });
    echo.stop();
    http.stop();
    service->stop();
}
BENCHMARK(LoopbackRoundTrip)->Iterations(2000);

}  // namespace
