// Blocking socket clients of the end-to-end benchmark. Runs on the benchmark's main thread; the
// echo server runs on the thread its EchoPair owns.
#include "socket_clients.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>

namespace kinetra::bench {
namespace {

[[noreturn]] void fail(const char* what) {
    std::perror(what);
    std::exit(1);
}

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

void setNoDelay(int fd) {
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

}  // namespace

int connectTo(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    setNoDelay(fd);
    const auto address = loopback(port);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        fail("connect");
    }
    return fd;
}

void sendAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const auto sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent <= 0) {
            fail("send");
        }
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
}

std::string httpPost(std::string_view path, std::string_view body) {
    return "POST " + std::string(path) +
           " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\nContent-Type: "
           "application/json\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + std::string(body);
}

std::string readHttpBody(int fd) {
    std::string response;
    std::array<char, 4096> chunk{};
    for (;;) {
        const auto size = ::recv(fd, chunk.data(), chunk.size(), 0);
        if (size <= 0) {
            break;
        }
        response.append(chunk.data(), static_cast<std::size_t>(size));
    }
    ::close(fd);
    const auto body = response.find("\r\n\r\n");
    return body == std::string::npos ? std::string() : response.substr(body + 4);
}

std::string maskedTextFrame(std::string_view payload) {
    std::string frame = "\x81";
    if (payload.size() < 126) {
        frame.push_back(static_cast<char>(0x80 | payload.size()));
    } else {
        frame.push_back(static_cast<char>(0x80 | 126));
        frame.push_back(static_cast<char>((payload.size() >> 8) & 0xFF));
        frame.push_back(static_cast<char>(payload.size() & 0xFF));
    }
    const std::array<char, 4> mask{0x12, 0x34, 0x56, 0x78};
    frame.append(mask.begin(), mask.end());
    for (std::size_t i = 0; i < payload.size(); ++i) {
        frame.push_back(static_cast<char>(payload[i] ^ mask[i % 4]));
    }
    return frame;
}

WsClient::WsClient(std::uint16_t port, const std::string& path) : fd_(connectTo(port)) {
    sendAll(fd_, "GET " + path +
                     " HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: "
                     "Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                     "Sec-WebSocket-Version: 13\r\n\r\n");
    while (buffer_.find("\r\n\r\n") == std::string::npos) {
        if (!readSome()) {
            std::fprintf(stderr, "WebSocket upgrade of %s refused\n", path.c_str());
            std::exit(1);
        }
    }
    if (buffer_.rfind("HTTP/1.1 101", 0) != 0) {
        std::fprintf(stderr, "WebSocket upgrade of %s refused\n", path.c_str());
        std::exit(1);
    }
    buffer_.erase(0, buffer_.find("\r\n\r\n") + 4);
}

WsClient::~WsClient() {
    ::close(fd_);
}

std::string WsClient::receive() {
    const auto complete = [this] {
        return buffer_.size() >= 2 &&
               buffer_.size() >= 2U + (static_cast<std::uint8_t>(buffer_[1]) & 0x7FU);
    };
    while (!complete()) {
        if (!readSome()) {
            return {};
        }
    }
    const std::size_t size = static_cast<std::uint8_t>(buffer_[1]) & 0x7FU;
    std::string payload = buffer_.substr(2, size);
    buffer_.erase(0, 2 + size);
    return payload;
}

bool WsClient::readSome() {
    std::array<char, 4096> chunk{};
    const auto size = ::recv(fd_, chunk.data(), chunk.size(), 0);
    if (size <= 0) {
        return false;
    }
    buffer_.append(chunk.data(), static_cast<std::size_t>(size));
    return true;
}

EchoPair::EchoPair() : listener_(::socket(AF_INET, SOCK_STREAM, 0)) {
    auto address = loopback(0);
    socklen_t length = sizeof address;
    if (::bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 1) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        fail("echo listener");
    }
    client_ = connectTo(ntohs(address.sin_port));
    const int server = ::accept(listener_, nullptr, nullptr);
    if (server < 0) {
        fail("accept");
    }
    setNoDelay(server);
    echo_ = std::jthread([server] {
        std::array<char, 4096> chunk{};
        for (;;) {
            const auto size = ::recv(server, chunk.data(), chunk.size(), 0);
            if (size <= 0) {
                break;
            }
            sendAll(server, {chunk.data(), static_cast<std::size_t>(size)});
        }
        ::close(server);
    });
}

EchoPair::~EchoPair() {
    ::shutdown(client_, SHUT_RDWR);
    echo_.join();
    ::close(client_);
    ::close(listener_);
}

bool EchoPair::roundTrip(std::string_view message) {
    sendAll(client_, message);
    buffer_.clear();
    std::array<char, 4096> chunk{};
    while (buffer_.size() < message.size()) {
        const auto size = ::recv(client_, chunk.data(), chunk.size(), 0);
        if (size <= 0) {
            return false;
        }
        buffer_.append(chunk.data(), static_cast<std::size_t>(size));
    }
    return buffer_ == message;
}

}  // namespace kinetra::bench
