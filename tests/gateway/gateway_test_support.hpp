// Test doubles for the gateway: a bus service that answers (or stays silent) on its own thread,
// a log sink that records what the gateway logs, and small HTTP/WebSocket client helpers over
// the network tests' blocking client. The helpers run on the test thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <zmq.hpp>

#include "net/test_client.hpp"
#include "platform/stop_signal.hpp"

namespace kinetra::gateway::test {

using namespace std::chrono_literals;
using net::test::TestClient;

/// Polls `condition` every millisecond for at most `timeout`, for state that has no event to
/// wait on (the registry's table, the bridge's path table). True once it holds.
bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 5s);

/// A service on the bus: binds a REP socket to `endpoint`, announces it (unless told not to)
/// and answers each request with what `answer` returns; nothing means no reply (a REP then
/// takes no further request). `answer` runs on the service's thread.
class FakeService {
public:
    using Answer = std::function<std::optional<std::string>(const std::string& request)>;

    FakeService(std::string endpoint, Answer answer, bool announce = true);
    /// Announces the endpoint closed (when it was announced) and joins the thread.
    ~FakeService();
    FakeService(const FakeService&) = delete;
    FakeService& operator=(const FakeService&) = delete;

    /// Closes the socket and announces the endpoint closed, as a stopping service does. Without
    /// `announce`, the registry still reports it open: a service that died, or whose closed
    /// announcement has not been applied yet.
    void stop(bool announce = true);

    /// Waits until at least `count` requests arrived; all received so far.
    std::vector<std::string> waitForRequests(std::size_t count,
                                             std::chrono::milliseconds timeout = 5s);
    std::vector<std::string> requests();

    const std::string& endpoint() const { return endpoint_; }

private:
    void serve();

    std::string endpoint_;
    Answer answer_;
    bool announced_;
    std::shared_ptr<zmq::context_t> context_;
    zmq::socket_t socket_;  // REP, service thread only once started
    std::mutex mutex_;      // guards requests_
    std::condition_variable arrived_;
    std::vector<std::string> requests_;
    platform::StopSignal stop_;
    std::jthread thread_;
};

/// A one-shot latch the test thread opens for a service thread that waits on it (bounded).
class Gate {
public:
    void open();
    /// True when opened within `timeout`.
    bool waitOpen(std::chrono::milliseconds timeout = 5s);

private:
    std::mutex mutex_;  // guards open_
    std::condition_variable changed_;
    bool open_ = false;
};

/// Records every line logged through spdlog's default logger while it exists.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    /// True when a line of `level` ("info", "warning", "error") equal to `text` was logged.
    bool has(const std::string& level, const std::string& text) const;
    /// True when a line of `level` containing `part` was logged.
    bool hasPart(const std::string& level, const std::string& part) const;
    std::string all() const;

    struct Sink;

private:
    std::shared_ptr<Sink> sink_;
};

/// A complete HTTP response as the client received it.
struct HttpAnswer {
    std::string raw;
    std::string statusLine;
    std::vector<std::pair<std::string, std::string>> headers;  // in the order received
    std::string body;
    bool closedByServer = false;
};

/// Sends `request` (raw bytes) to 127.0.0.1:`port` and reads until the server closes.
HttpAnswer httpExchange(std::uint16_t port, const std::string& request,
                        std::chrono::milliseconds timeout = 5s);

/// A request with `method`, `target` and `body` (Content-Length set when there is a body).
std::string httpRequest(const std::string& method, const std::string& target,
                        const std::string& body = "");

/// What the gateway answers with `body`, byte for byte.
std::string expectedResponse(const std::string& body);

/// A WebSocket client on `path`, after the handshake reply has been read.
class WsClient {
public:
    WsClient(std::uint16_t port, const std::string& path);

    /// Sends one masked text frame with `payload`.
    void sendText(const std::string& payload);
    void sendRaw(const std::string& bytes) { client_.send(bytes); }
    /// Waits for the next complete server frame.
    std::optional<net::test::ServerFrame> nextFrame(std::chrono::milliseconds timeout = 5s);
    /// Reads until the server closes; true when it did within `timeout`.
    bool waitClosed(std::chrono::milliseconds timeout = 5s);
    /// Sends a close frame and waits for the server to close.
    bool close(std::chrono::milliseconds timeout = 5s);
    /// The handshake reply was "101 Switching Protocols".
    bool upgraded() const { return upgraded_; }

private:
    TestClient client_;
    std::size_t consumed_ = 0;  // bytes of the client's received text already taken
    bool upgraded_ = false;
};

}  // namespace kinetra::gateway::test
