// A blocking TCP client on 127.0.0.1 for the network tests, with every read bounded in time,
// plus builders for what a WebSocket client sends. Runs on the test thread.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace kinetra::net::test {

using namespace std::chrono_literals;

class TestClient {
public:
    /// Connects to 127.0.0.1:`port`; throws std::runtime_error on failure.
    explicit TestClient(std::uint16_t port);
    ~TestClient();
    TestClient(const TestClient&) = delete;
    TestClient& operator=(const TestClient&) = delete;

    void send(std::string_view bytes);
    /// Half-closes: the server reads end of stream.
    void shutdownSend();
    /// Closes the socket with a reset instead of the orderly close.
    void reset();

    /// Reads until `done(received)` holds, the server closes, or `timeout` passes; returns all
    /// bytes received so far.
    std::string readUntil(const std::function<bool(const std::string&)>& done,
                          std::chrono::milliseconds timeout = 5s);
    /// Reads until the received bytes contain `marker`.
    std::string readUntilContains(std::string_view marker, std::chrono::milliseconds timeout = 5s);
    /// Reads until the server closes (or `timeout` passes).
    std::string readToEnd(std::chrono::milliseconds timeout = 5s);
    /// True once the server has closed its sending side (or reset the connection).
    bool closedByServer() const { return closed_; }

private:
    int fd_ = -1;
    std::string received_;
    bool closed_ = false;
};

/// Things server threads report, awaited by the test thread with a bound.
template <typename T>
class Recorder {
public:
    void add(T item) {
        {
            std::lock_guard lock(mutex_);
            items_.push_back(std::move(item));
        }
        changed_.notify_all();
    }
    /// Waits until at least `count` items arrived; returns a copy of all of them.
    std::vector<T> waitFor(std::size_t count, std::chrono::milliseconds timeout = 5s) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, timeout, [&] { return items_.size() >= count; });
        return items_;
    }
    std::vector<T> items() {
        std::lock_guard lock(mutex_);
        return items_;
    }

private:
    std::mutex mutex_;  // guards items_
    std::condition_variable changed_;
    std::vector<T> items_;
};

/// A masked client frame: `firstByte` is FIN, reserved bits and opcode as sent.
std::string clientFrame(std::uint8_t firstByte, std::string_view payload,
                        std::array<std::uint8_t, 4> mask = {0x37, 0xfa, 0x21, 0x3d});

/// An upgrade request for `path` with the RFC 6455 sample key.
std::string upgradeRequest(std::string_view path, std::string_view upgradeValue = "websocket");

struct ServerFrame {
    std::uint8_t firstByte;
    std::string payload;
};

/// Splits unmasked server frames; stops at the first incomplete one.
std::vector<ServerFrame> serverFrames(std::string_view bytes);

}  // namespace kinetra::net::test
