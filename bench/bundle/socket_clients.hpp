// Plain blocking socket clients for the end-to-end benchmark: an HTTP request on a fresh
// connection, a WebSocket client for short text messages, and a bare TCP echo pair that gives the
// loopback baseline. Each object is used by one thread at a time; the echo server owns its thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <thread>

namespace kinetra::bench {

/// A connected loopback TCP socket with TCP_NODELAY; ends the program when it cannot connect.
int connectTo(std::uint16_t port);
/// Writes every byte of `bytes`; ends the program when the socket fails.
void sendAll(int fd, std::string_view bytes);

/// The POST request of `body` to `path`, on a connection that ends with its answer.
std::string httpPost(std::string_view path, std::string_view body);
/// Reads until the server closes `fd`, closes it, and returns the response body.
std::string readHttpBody(int fd);

/// One client frame (masked) of a text message.
std::string maskedTextFrame(std::string_view payload);

/// A WebSocket client for messages whose replies are shorter than 126 bytes.
class WsClient {
public:
    /// Connects and upgrades `path`; ends the program when the upgrade is refused.
    WsClient(std::uint16_t port, const std::string& path);
    ~WsClient();
    WsClient(const WsClient&) = delete;
    WsClient& operator=(const WsClient&) = delete;

    /// Writes the frame as it is.
    void send(std::string_view frame) { sendAll(fd_, frame); }
    /// The next text message; empty when the connection ended.
    std::string receive();

private:
    bool readSome();

    int fd_;
    std::string buffer_;
};

/// A loopback TCP echo: one connection, every byte written straight back by its own thread.
class EchoPair {
public:
    EchoPair();
    /// Closes the client side; the echo thread sees the end and is joined.
    ~EchoPair();
    EchoPair(const EchoPair&) = delete;
    EchoPair& operator=(const EchoPair&) = delete;

    /// Writes `message` and reads back as many bytes; false when the echo did not come back.
    bool roundTrip(std::string_view message);

private:
    int listener_ = -1;
    int client_ = -1;
    std::string buffer_;
    std::jthread echo_;  // last: joined before the descriptors above are gone
};

}  // namespace kinetra::bench
