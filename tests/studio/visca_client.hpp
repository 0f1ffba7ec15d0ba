// A VISCA-over-IP controller for the tests, written from the published format: an 8-byte header
// (payload type, payload length, 32-bit sequence number, big-endian) before each VISCA message,
// on a UDP socket of its own on 127.0.0.1. Used by one thread at a time.
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

#include "support/hex.hpp"

namespace kinetra::studio::test {

class ViscaClient {
public:
    /// Binds an ephemeral loopback port; sends to 127.0.0.1:`port`.
    explicit ViscaClient(std::uint16_t port) : fd_(::socket(AF_INET, SOCK_DGRAM, 0)) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
            ::close(fd_);
            throw std::runtime_error("no UDP port");
        }
        camera_.sin_family = AF_INET;
        camera_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        camera_.sin_port = htons(port);
    }
    ~ViscaClient() { ::close(fd_); }
    ViscaClient(const ViscaClient&) = delete;
    ViscaClient& operator=(const ViscaClient&) = delete;

    /// Sends raw bytes written as "01 00 00 05 ...".
    void sendRaw(const std::string& hexBytes) {
        const auto data = testing::bytes(hexBytes);
        ::sendto(fd_, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&camera_),
                 sizeof camera_);
    }
    /// Sends `message` (hex) under a header of `type` with the next sequence number (or
    /// `sequence`); returns the number used.
    std::uint32_t send(const std::string& message, std::uint16_t type = 0x0100,
                       std::optional<std::uint32_t> sequence = std::nullopt) {
        const std::uint32_t number = sequence.value_or(next_++);
        const auto payload = testing::bytes(message);
        core::Bytes datagram;
        core::appendU16BE(datagram, type);
        core::appendU16BE(datagram, static_cast<std::uint16_t>(payload.size()));
        core::appendU32BE(datagram, number);
        datagram.insert(datagram.end(), payload.begin(), payload.end());
        sendRaw(testing::hex(datagram));
        return number;
    }
    /// The next datagram received within `timeout`, in hex; "" when none came.
    std::string next(std::chrono::milliseconds timeout = std::chrono::milliseconds(2000)) {
        pollfd item{fd_, POLLIN, 0};
        if (::poll(&item, 1, static_cast<int>(timeout.count())) != 1) {
            return "";
        }
        std::uint8_t buffer[256];
        const auto size = ::recv(fd_, buffer, sizeof buffer, 0);
        return size < 0 ? "" : testing::hex(core::ByteView(buffer, static_cast<std::size_t>(size)));
    }

    /// The reply datagram a camera sends for sequence `number` with VISCA reply `reply` (hex).
    static std::string reply(std::uint32_t number, const std::string& reply) {
        const auto payload = testing::bytes(reply);
        core::Bytes datagram;
        core::appendU16BE(datagram, 0x0111);
        core::appendU16BE(datagram, static_cast<std::uint16_t>(payload.size()));
        core::appendU32BE(datagram, number);
        datagram.insert(datagram.end(), payload.begin(), payload.end());
        return testing::hex(datagram);
    }

private:
    int fd_;
    sockaddr_in camera_{};
    std::uint32_t next_ = 1;
};

}  // namespace kinetra::studio::test
