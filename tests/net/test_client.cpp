// TestClient over POSIX sockets: poll() bounds every wait. Test thread only.
#include "test_client.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <stdexcept>

namespace kinetra::net::test {
namespace {

// The first complete unmasked frame of `bytes` and its size on the wire.
std::optional<std::pair<ServerFrame, std::size_t>> parseFrame(std::string_view bytes) {
    if (bytes.size() < 2) {
        return std::nullopt;
    }
    std::uint64_t length = bytes[1] & 0x7F;
    const std::size_t header = length == 126 ? 4 : length == 127 ? 10 : 2;
    for (std::size_t at = 2; at < header && at < bytes.size(); ++at) {
        length = (at == 2 ? 0 : length << 8) | static_cast<std::uint8_t>(bytes[at]);
    }
    if (bytes.size() < header || bytes.size() - header < length) {
        return std::nullopt;
    }
    return std::pair{
        ServerFrame{static_cast<std::uint8_t>(bytes[0]), std::string(bytes.substr(header, length))},
        header + static_cast<std::size_t>(length)};
}

// The size of the first complete HTTP response in `bytes` (its head and Content-Length bytes of
// body; not for answers to HEAD).
std::optional<std::size_t> responseSize(std::string_view bytes) {
    const auto headEnd = bytes.find("\r\n\r\n");
    if (headEnd == std::string_view::npos) {
        return std::nullopt;
    }
    std::string head(bytes.substr(0, headEnd + 2));
    for (auto& c : head) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    const auto field = head.find("\r\ncontent-length:");
    const std::size_t length =
        field == std::string::npos ? 0 : std::stoul(head.substr(field + 17, 20));
    const std::size_t size = headEnd + 4 + length;
    return bytes.size() >= size ? std::optional(size) : std::nullopt;
}

}  // namespace

TestClient::TestClient(std::uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
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

std::optional<std::string> TestClient::exchange(std::uint16_t port, std::string_view request) {
    TestClient client(port);
    client.send(request);
    if (auto response = client.nextResponse()) {
        return response;
    }
    return client.closedByServer() ? std::optional(client.received_) : std::nullopt;
}

std::optional<std::string> TestClient::nextResponse(std::chrono::milliseconds timeout) {
    const auto untaken = [this] {
        return responseSize(std::string_view(received_).substr(taken_));
    };
    readUntil([&](const std::string&) { return untaken().has_value(); }, timeout);
    const auto size = untaken();
    if (!size) {
        return std::nullopt;
    }
    taken_ += *size;
    return received_.substr(taken_ - *size, *size);
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
    // `done` first: bytes that arrived before the close still count.
    while (!done(received_) && !closed_) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd entry{fd_, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&entry, 1, static_cast<int>(left.count())) <= 0) {
            break;
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

std::string TestClient::readToEnd(std::chrono::milliseconds timeout) {
    return readUntil([](const std::string&) { return false; }, timeout);
}

std::string TestClient::upgrade(std::string_view path, std::string_view after) {
    return handshake(upgradeRequest(path) + std::string(after));
}

std::string TestClient::handshake(std::string_view request) {
    send(request);
    const auto done = [this](const std::string& text) {
        return text.find("\r\n\r\n", taken_) != text.npos;
    };
    const auto end = readUntil(done).find("\r\n\r\n", taken_);
    const std::size_t size = end == std::string::npos ? 0 : end + 4 - taken_;
    taken_ += size;
    return received_.substr(taken_ - size, size);
}

std::optional<ServerFrame> TestClient::nextFrame(std::chrono::milliseconds timeout) {
    const auto untaken = [this] { return parseFrame(std::string_view(received_).substr(taken_)); };
    readUntil([&](const std::string&) { return untaken().has_value(); }, timeout);
    const auto frame = untaken();
    if (!frame) {
        return std::nullopt;
    }
    taken_ += frame->second;
    return frame->first;
}

std::string clientFrame(std::uint8_t firstByte, std::string_view payload,
                        std::array<std::uint8_t, 4> mask) {
    const std::uint64_t length = payload.size();
    const int extra = length < 126 ? 0 : length <= 0xFFFF ? 2 : 8;
    std::string out{static_cast<char>(firstByte), static_cast<char>(0x80 | (extra == 0   ? length
                                                                            : extra == 2 ? 126
                                                                                         : 127))};
    for (int i = extra - 1; i >= 0; --i) {
        out.push_back(static_cast<char>(length >> (8 * i)));
    }
    out.append(mask.begin(), mask.end());
    for (std::size_t i = 0; i < payload.size(); ++i) {
        out.push_back(static_cast<char>(payload[i] ^ mask[i % 4]));
    }
    return out;
}

std::string upgradeRequest(std::string_view path, std::string_view upgradeValue) {
    return "GET " + std::string(path) +
           " HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: " + std::string(upgradeValue) +
           "\r\nConnection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
           "Sec-WebSocket-Version: 13\r\n\r\n";
}

}  // namespace kinetra::net::test
