// TestClient over POSIX sockets: poll() bounds every wait. Test thread only.
#include "test_client.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace kinetra::net::test {

TestClient::TestClient(std::uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        throw std::runtime_error("test client cannot connect to port " + std::to_string(port));
    }
}

TestClient::~TestClient() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

void TestClient::send(std::string_view bytes) {
    while (!bytes.empty()) {
        const auto sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent <= 0) {
            return;  // the server may have closed; tests look at what they receive
        }
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
}

void TestClient::shutdownSend() {
    ::shutdown(fd_, SHUT_WR);
}

void TestClient::reset() {
    linger option{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &option, sizeof option);
    ::close(fd_);
    fd_ = -1;
}

std::string TestClient::readUntil(const std::function<bool(const std::string&)>& done,
                                  std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!closed_ && !done(received_)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        pollfd entry{fd_, POLLIN, 0};
        if (::poll(&entry, 1, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        char chunk[16384];
        const auto size = ::recv(fd_, chunk, sizeof chunk, 0);
        if (size <= 0) {
            closed_ = true;
        } else {
            received_.append(chunk, static_cast<std::size_t>(size));
        }
    }
    return received_;
}

std::string TestClient::readUntilContains(std::string_view marker,
                                          std::chrono::milliseconds timeout) {
    return readUntil(
        [marker](const std::string& text) { return text.find(marker) != std::string::npos; },
        timeout);
}

std::string TestClient::readToEnd(std::chrono::milliseconds timeout) {
    return readUntil([](const std::string&) { return false; }, timeout);
}

std::string clientFrame(std::uint8_t firstByte, std::string_view payload,
                        std::array<std::uint8_t, 4> mask) {
    std::string out(1, static_cast<char>(firstByte));
    const std::uint64_t length = payload.size();
    int lengthBytes = 0;
    if (length < 126) {
        out.push_back(static_cast<char>(0x80 | length));
    } else if (length <= 0xFFFF) {
        out.push_back(static_cast<char>(0x80 | 126));
        lengthBytes = 2;
    } else {
        out.push_back(static_cast<char>(0x80 | 127));
        lengthBytes = 8;
    }
    for (int shift = 8 * (lengthBytes - 1); shift >= 0; shift -= 8) {
        out.push_back(static_cast<char>((length >> shift) & 0xFF));
    }
    out.append(mask.begin(), mask.end());
    for (std::size_t i = 0; i < payload.size(); ++i) {
        out.push_back(static_cast<char>(static_cast<std::uint8_t>(payload[i]) ^ mask[i % 4]));
    }
    return out;
}

std::string upgradeRequest(std::string_view path, std::string_view upgradeValue) {
    std::string text = "GET ";
    text.append(path).append(" HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: ");
    text.append(upgradeValue);
    text.append(
        "\r\nConnection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
        "Sec-WebSocket-Version: 13\r\n\r\n");
    return text;
}

std::vector<ServerFrame> serverFrames(std::string_view bytes) {
    std::vector<ServerFrame> frames;
    while (bytes.size() >= 2) {
        std::size_t header = 2;
        std::uint64_t length = static_cast<std::uint8_t>(bytes[1]) & 0x7F;
        const int extra = length == 126 ? 2 : length == 127 ? 8 : 0;
        if (extra > 0) {
            if (bytes.size() < header + static_cast<std::size_t>(extra)) {
                break;
            }
            length = 0;
            for (int i = 0; i < extra; ++i) {
                length = (length << 8) | static_cast<std::uint8_t>(bytes[header + i]);
            }
            header += static_cast<std::size_t>(extra);
        }
        if (bytes.size() - header < length) {
            break;
        }
        frames.push_back({static_cast<std::uint8_t>(bytes[0]),
                          std::string(bytes.substr(header, static_cast<std::size_t>(length)))});
        bytes.remove_prefix(header + static_cast<std::size_t>(length));
    }
    return frames;
}

}  // namespace kinetra::net::test
