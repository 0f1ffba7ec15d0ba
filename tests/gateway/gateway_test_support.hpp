// Test doubles for the gateway: a bus service answering on its own thread, a capture of what is
// logged, and the request and response texts of the one HTTP form. Clients are the network
// tests' TestClient; everything but the service's loop runs on the test thread.
#pragma once

#include <array>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <zmq.hpp>

#include "bus/announce.hpp"
#include "bus/socket_registry.hpp"
#include "bus/wait.hpp"
#include "net/test_client.hpp"
#include "platform/stop_signal.hpp"
#include "settings/server_settings.hpp"
#include "support/log_capture.hpp"
#include "support/wait.hpp"

namespace kinetra::gateway::test {

using namespace std::chrono_literals;
using kinetra::testing::LogCapture;
using kinetra::testing::waitUntil;
using net::test::TestClient;

/// Both listeners on ephemeral loopback ports.
inline const config::ServerSettings kLoopback{"127.0.0.1", "0", "127.0.0.1", "0", "127.0.0.1", "0"};

/// A service on the bus: binds a REP socket to `endpoint`, announces it (unless told not to)
/// and answers each request with what `answer` returns, on its own thread. Nothing means no
/// reply (a REP then takes no further request).
class FakeService {
public:
    using Answer = std::function<std::optional<std::string>(const std::string& request)>;

    FakeService(std::string endpoint, Answer answer, bool announce = true)
        : endpoint_(std::move(endpoint)), answer_(std::move(answer)), announced_(announce) {
        socket_.set(zmq::sockopt::linger, 0);
        // The bus frees a name on its reaper thread some time after the previous owner closed
        // it (a service bound anew, as when a link comes back), so a bind may need to wait.
        if (!waitUntil([this] { return zmq_bind(socket_.handle(), endpoint_.c_str()) == 0; })) {
            throw zmq::error_t();
        }
        thread_ = std::jthread([this] { serve(); });
        if (announce) {
            bus::announceOpen(std::array{endpoint_});
            waitUntil([this] { return bus::SocketRegistry::instance().isOpen(endpoint_); });
        }
    }
    ~FakeService() { stop(); }

    /// Closes the socket and announces the endpoint closed, as a stopping service does. Without
    /// `announce` the registry still lists it: a service that died, or whose closed
    /// announcement is still on its way.
    void stop(bool announce = true) {
        stop_.set();
        if (thread_.joinable()) {
            thread_.join();
        }
        socket_.close();
        if (announced_ && announce) {
            announced_ = false;
            bus::announceClosed(std::array{endpoint_});
            waitUntil([this] { return !bus::SocketRegistry::instance().isOpen(endpoint_); });
        }
    }

    net::test::Recorder<std::string> requests;  ///< every request received, in order

private:
    void serve() {
        const std::array<zmq::socket_ref, 1> sockets{socket_};
        while (bus::waitReadable(sockets, bus::kForever, &stop_)) {
            if (const auto message = bus::tryReceive(socket_)) {
                const std::string request(message->to_string_view());
                requests.add(request);
                if (const auto reply = answer_(request)) {
                    socket_.send(zmq::buffer(*reply), zmq::send_flags::none);
                }
            }
        }
    }

    std::string endpoint_;
    Answer answer_;
    bool announced_;
    zmq::socket_t socket_{*bus::SocketRegistry::instance().context(), zmq::socket_type::rep};
    platform::StopSignal stop_;
    std::jthread thread_;  // last: joined before the members it uses go
};

/// A request with `method`, `target`, `headers` and `body` (with its Content-Length when there
/// is one).
inline std::string httpRequest(const std::string& method, const std::string& target,
                               const std::string& body = "",
                               const std::vector<std::string>& headers = {"Host: 127.0.0.1"}) {
    std::string text = method + " " + target + " HTTP/1.1\r\n";
    for (const auto& header : headers) {
        text += header + "\r\n";
    }
    if (!body.empty()) {
        text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    }
    return text + "\r\n" + body;
}

/// What the gateway answers with `body`, byte for byte; with `close` the answer ends the
/// connection.
inline std::string expectedResponse(const std::string& body, bool close = false) {
    return std::string("HTTP/1.1 200 OK\r\nAccess-Control-Allow-Origin: *\r\n") +
           (close ? "Connection: close\r\n" : "") +
           "Content-Length: " + std::to_string(body.size()) +
           "\r\nContent-Type: application/json\r\nallow: GET, POST, HEAD\r\n\r\n" + body;
}

/// Upgrades `client` to WebSocket on `path`; true when the 101 came.
inline bool upgraded(TestClient& client, std::string_view path) {
    return client.upgrade(path).starts_with("HTTP/1.1 101 ");
}

/// The payload of the next frame, when it is a final text frame.
inline std::optional<std::string> nextText(TestClient& client,
                                           std::chrono::milliseconds timeout = 5s) {
    const auto frame = client.nextFrame(timeout);
    return frame && frame->firstByte == 0x81 ? std::optional(frame->payload) : std::nullopt;
}

/// True when the server closes the connection within `timeout`.
inline bool closes(TestClient& client, std::chrono::milliseconds timeout = 5s) {
    client.readToEnd(timeout);
    return client.closedByServer();
}

}  // namespace kinetra::gateway::test
