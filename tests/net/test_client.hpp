// A blocking TCP client on 127.0.0.1 for the network, gateway and end-to-end tests: every read is
// bounded in time; it speaks raw bytes, one HTTP exchange, or WebSocket frames. Test thread only.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kinetra::net::test {

using namespace std::chrono_literals;

/// A masked client frame: `firstByte` is FIN, reserved bits and opcode as sent.
std::string clientFrame(std::uint8_t firstByte, std::string_view payload,
                        std::array<std::uint8_t, 4> mask = {0x37, 0xfa, 0x21, 0x3d});

/// An upgrade request for `path` with the RFC 6455 sample key.
std::string upgradeRequest(std::string_view path, std::string_view upgradeValue = "websocket");

/// An unmasked frame as a server sends it.
struct ServerFrame {
    std::uint8_t firstByte;
    std::string payload;
};

class TestClient {
public:
    /// Connects to 127.0.0.1:`port`; throws std::runtime_error on failure.
    explicit TestClient(std::uint16_t port);
    ~TestClient();
    TestClient(const TestClient&) = delete;
    TestClient& operator=(const TestClient&) = delete;

    /// One exchange on a new connection: sends `request` and returns the first complete HTTP
    /// response (see nextResponse), or every byte received up to the server's close when that
    /// comes first; nothing when neither comes within 5 s.
    static std::optional<std::string> exchange(std::uint16_t port, std::string_view request);

    void send(std::string_view bytes);
    /// Half-closes: the server reads end of stream.
    void shutdownSend();
    /// Closes the socket with a reset instead of the orderly close.
    void reset();

    /// Reads until `done(received)` holds, the server closes, or `timeout` passes; returns all
    /// bytes received so far.
    std::string readUntil(const std::function<bool(const std::string&)>& done,
                          std::chrono::milliseconds timeout = 5s);
    std::string readToEnd(std::chrono::milliseconds timeout = 5s);
    /// True once the server has closed its sending side (or reset the connection).
    bool closedByServer() const { return closed_; }

    /// The next HTTP response not taken yet (head and Content-Length bytes of body; not for the
    /// answer to a HEAD), if it is complete within `timeout`.
    std::optional<std::string> nextResponse(std::chrono::milliseconds timeout = 5s);

    /// Sends the upgrade request for `path` followed by `after`; returns the reply head (through
    /// its blank line). Frames are read from behind it.
    std::string upgrade(std::string_view path, std::string_view after = {});
    /// Sends `request` (an upgrade of the caller's making) and returns the reply head, as
    /// upgrade() does.
    std::string handshake(std::string_view request);
    void sendText(std::string_view payload) { send(clientFrame(0x81, payload)); }
    /// The next server frame not taken yet, if one arrives within `timeout`.
    std::optional<ServerFrame> nextFrame(std::chrono::milliseconds timeout = 5s);

private:
    int fd_ = -1;
    std::string received_;
    std::size_t taken_ = 0;  // bytes of received_ already returned as head or frames
    bool closed_ = false;
};

/// Things server threads report, awaited by the test thread with a bound. Once the items a
/// test waits for have arrived it may drop the recorder: add() notifies under the lock.
template <typename T>
class Recorder {
public:
    void add(T item) {
        std::lock_guard lock(mutex_);
        items_.push_back(std::move(item));
        changed_.notify_all();
    }
    /// Waits until at least `count` items arrived; returns a copy of all of them.
    std::vector<T> waitFor(std::size_t count = 0, std::chrono::milliseconds timeout = 5s) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, timeout, [&] { return items_.size() >= count; });
        return items_;
    }
    /// Waits until `done(items)` holds; false when `timeout` passed first.
    template <typename Done>
    bool waitUntil(Done done, std::chrono::milliseconds timeout = 5s) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return done(std::as_const(items_)); });
    }

private:
    std::mutex mutex_;  // guards items_
    std::condition_variable changed_;
    std::vector<T> items_;
};

}  // namespace kinetra::net::test
