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
#include <optional>
#include <string>

#include "support/hex.hpp"

namespace kinetra::studio::test {

class ViscaClient {
public:
    /// Sends to 127.0.0.1:`port` from a port of its own, on the loopback address `from`.
    explicit ViscaClient(std::uint16_t port, const char* from = "127.0.0.1")
        : fd_(::socket(AF_INET, SOCK_DGRAM, 0)) {
        camera_.sin_family = AF_INET;
        camera_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        camera_.sin_port = htons(port);
        sockaddr_in source{};
        source.sin_family = AF_INET;
        ::inet_pton(AF_INET, from, &source.sin_addr);
        ::bind(fd_, reinterpret_cast<const sockaddr*>(&source), sizeof source);
    }
    ~ViscaClient() { ::close(fd_); }
    ViscaClient(const ViscaClient&) = delete;
    ViscaClient& operator=(const ViscaClient&) = delete;

    /// The datagram of `type` with `sequence` carrying `message`, all in hex.
    static std::string datagram(std::uint32_t sequence, const std::string& message,
                                std::uint16_t type = 0x0111) {
        const auto payload = testing::bytes(message);
        core::Bytes out;
        core::appendU16BE(out, type);
        core::appendU16BE(out, static_cast<std::uint16_t>(payload.size()));
        core::appendU32BE(out, sequence);
        out.insert(out.end(), payload.begin(), payload.end());
        return testing::hex(out);
    }
    /// The camera's reply to sequence number `n`: `message` in a reply datagram.
    static std::string reply(std::uint32_t n, const std::string& message) {
        return datagram(n, message);
    }

    void sendRaw(const std::string& hexBytes) {
        const auto data = testing::bytes(hexBytes);
        ::sendto(fd_, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&camera_),
                 sizeof camera_);
    }
    /// Sends `message` as a command (or `type`) with the next sequence number (or `sequence`);
    /// returns the number used.
    std::uint32_t send(const std::string& message, std::uint16_t type = 0x0100,
                       std::optional<std::uint32_t> sequence = std::nullopt) {
        const std::uint32_t n = sequence.value_or(next_++);
        sendRaw(datagram(n, message, type));
        return n;
    }
    /// The next datagram received within `timeout`, in hex; "" when none came.
    std::string next(std::chrono::milliseconds timeout = std::chrono::milliseconds(2000)) {
        pollfd item{fd_, POLLIN, 0};
        std::uint8_t buffer[256];
        const auto size = ::poll(&item, 1, static_cast<int>(timeout.count())) == 1
                              ? ::recv(fd_, buffer, sizeof buffer, 0)
                              : -1;
        return size < 0 ? "" : testing::hex(core::ByteView(buffer, static_cast<std::size_t>(size)));
    }

private:
    int fd_;
    sockaddr_in camera_{};
    std::uint32_t next_ = 1;
};

}  // namespace kinetra::studio::test
