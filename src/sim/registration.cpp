#include "sim/registration.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "core/clock.hpp"
#include "model/link_info.hpp"

namespace kinetra::sim {
namespace {

model::LinkInfo linkInfoFor(const LinkConfig& config, const std::string& portName) {
    model::LinkInfo info;
    info.linkType = config.linkType;
    info.linkID = config.linkID;
    info.initialFoundEpoch = std::to_string(core::epochNanos());
    info.portName = portName;
    info.present = true;
    return info;
}

/// A socket that closes itself.
class Socket {
public:
    Socket() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)) {}
    ~Socket() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int fd() const { return fd_; }

private:
    int fd_;
};

bool waitFor(int fd, short events, std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
        return false;
    }
    pollfd item{fd, events, 0};
    return ::poll(&item, 1, static_cast<int>(left.count())) == 1;
}

}  // namespace

json deviceFoundRequest(const LinkConfig& config, const std::string& portName) {
    json request = model::toScannerJson(linkInfoFor(config, portName));
    request["command"] = "device_found";
    return request;
}

json deviceDisconnectedRequest(const LinkConfig& config, const std::string& portName) {
    json request = model::toScannerJson(linkInfoFor(config, portName));
    request["command"] = "device_disconnected";
    return request;
}

std::optional<std::string> postJson(const std::string& host, std::uint16_t port,
                                    const std::string& path, const std::string& body,
                                    std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    Socket socket;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (socket.fd() < 0 || ::inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) {
        return std::nullopt;
    }
    if (::connect(socket.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 &&
        errno != EINPROGRESS) {
        return std::nullopt;
    }
    if (!waitFor(socket.fd(), POLLOUT, deadline)) {
        return std::nullopt;
    }
    const std::string request =
        "POST " + path + " HTTP/1.1\r\nHost: " + host +
        "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
        "\r\nConnection: close\r\n\r\n" + body;
    std::size_t sent = 0;
    while (sent < request.size()) {
        const auto n =
            ::send(socket.fd(), request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EAGAIN && waitFor(socket.fd(), POLLOUT, deadline)) {
            continue;
        } else {
            return std::nullopt;
        }
    }
    // The server closes after its answer (Connection: close).
    std::string response;
    char buffer[4096];
    for (;;) {
        const auto n = ::recv(socket.fd(), buffer, sizeof buffer, 0);
        if (n > 0) {
            response.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0) {
            break;
        } else if (errno != EAGAIN || !waitFor(socket.fd(), POLLIN, deadline)) {
            return std::nullopt;
        }
    }
    const auto bodyStart = response.find("\r\n\r\n");
    if (!response.starts_with("HTTP/1.1 200") || bodyStart == std::string::npos) {
        return std::nullopt;
    }
    return response.substr(bodyStart + 4);
}

}  // namespace kinetra::sim
