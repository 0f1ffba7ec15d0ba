// A UDP socket on a free 127.0.0.1 port that hands out the datagrams it gets, each with its
// arrival time; for the studio tests and the FreeD benchmark. Used by one thread at a time.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

namespace kinetra::net::test {

class UdpListener {
public:
    using Clock = std::chrono::steady_clock;

    /// Binds; throws std::runtime_error when no port is to be had.
    UdpListener() : fd_(::socket(AF_INET, SOCK_DGRAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
            ::close(fd_);
            throw std::runtime_error("no UDP port");
        }
        port_ = ntohs(address.sin_port);
    }
    ~UdpListener() { ::close(fd_); }
    UdpListener(const UdpListener&) = delete;
    UdpListener& operator=(const UdpListener&) = delete;

    std::uint16_t port() const { return port_; }

    /// The next datagram within `timeout`, with its arrival time.
    std::optional<std::pair<std::string, Clock::time_point>> next(
        std::chrono::milliseconds timeout) {
        pollfd item{fd_, POLLIN, 0};
        if (::poll(&item, 1, static_cast<int>(timeout.count())) != 1) {
            return std::nullopt;
        }
        char buffer[2048];
        const auto size = ::recv(fd_, buffer, sizeof buffer, 0);
        if (size < 0) {
            return std::nullopt;
        }
        return std::pair{std::string(buffer, static_cast<std::size_t>(size)), Clock::now()};
    }

private:
    int fd_;
    std::uint16_t port_ = 0;
};

}  // namespace kinetra::net::test
