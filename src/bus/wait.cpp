#include "bus/wait.hpp"

#include <array>
#include <thread>
#include <vector>

namespace kinetra::bus {

std::optional<zmq::message_t> receiveWithin(zmq::socket_ref socket, Milliseconds timeout,
                                            const platform::StopSignal* stop) {
    const std::array<zmq::socket_ref, 1> one{socket};
    if (!waitReadable(one, timeout, stop)) {
        return std::nullopt;
    }
    return tryReceive(socket);
}

std::optional<zmq::message_t> receiveWithRetries(zmq::socket_ref socket, int tries,
                                                 Milliseconds interval,
                                                 const std::function<bool()>& keepWaiting,
                                                 const platform::StopSignal* stop) {
    for (int attempt = 0; attempt < tries; ++attempt) {
        if (auto message = receiveWithin(socket, interval, stop)) {
            return message;
        }
        if ((stop != nullptr && stop->isSet()) || (keepWaiting && !keepWaiting())) {
            return std::nullopt;
        }
    }
    return std::nullopt;
}

std::optional<std::size_t> waitReadable(std::span<const zmq::socket_ref> sockets,
                                        Milliseconds timeout, const platform::StopSignal* stop) {
    std::vector<zmq::pollitem_t> items;
    items.reserve(sockets.size() + 1);
    for (zmq::socket_ref socket : sockets) {
        items.push_back(zmq::pollitem_t{socket.handle(), 0, ZMQ_POLLIN, 0});
    }
    if (stop != nullptr) {
        items.push_back(zmq::pollitem_t{nullptr, stop->fd(), ZMQ_POLLIN, 0});
    }
    // zmq_poll may return early (EINTR, or a readiness that another reader took); wait out the
    // rest of the bound on a steady clock.
    const bool forever = timeout < Milliseconds(0);
    const auto deadline = std::chrono::steady_clock::now() + (forever ? Milliseconds(0) : timeout);
    for (;;) {
        const auto left = forever ? kForever
                                  : std::max(std::chrono::ceil<Milliseconds>(
                                                 deadline - std::chrono::steady_clock::now()),
                                             Milliseconds(0));
        if (zmq::poll(items.data(), items.size(), left) > 0) {
            if (stop != nullptr && (items.back().revents & ZMQ_POLLIN)) {
                return std::nullopt;
            }
            for (std::size_t i = 0; i < sockets.size(); ++i) {
                if (items[i].revents & ZMQ_POLLIN) {
                    return i;
                }
            }
        }
        if (!forever && std::chrono::steady_clock::now() >= deadline) {
            return std::nullopt;
        }
    }
}

void bindWhenFree(zmq::socket_ref socket, const std::string& endpoint, Milliseconds patience) {
    constexpr Milliseconds kRetryPause{5};
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (zmq_bind(socket.handle(), endpoint.c_str()) != 0) {
        if (zmq_errno() != EADDRINUSE || std::chrono::steady_clock::now() >= deadline) {
            throw zmq::error_t();
        }
        std::this_thread::sleep_for(kRetryPause);
    }
}

bool trySend(zmq::socket_ref socket, std::string_view text) {
    return socket.send(zmq::buffer(text), zmq::send_flags::dontwait).has_value();
}

bool sendWithin(zmq::socket_ref socket, std::string_view text, Milliseconds timeout,
                const platform::StopSignal* stop) {
    std::array<zmq::pollitem_t, 2> items{
        zmq::pollitem_t{socket.handle(), 0, ZMQ_POLLOUT, 0},
        zmq::pollitem_t{nullptr, stop != nullptr ? stop->fd() : -1, ZMQ_POLLIN, 0},
    };
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (trySend(socket, text)) {
            return true;
        }
        const auto left =
            std::chrono::ceil<Milliseconds>(deadline - std::chrono::steady_clock::now());
        if ((stop != nullptr && stop->isSet()) || left <= Milliseconds(0)) {
            return false;
        }
        zmq::poll(items.data(), stop != nullptr ? 2 : 1, left);
    }
}

std::optional<zmq::message_t> tryReceive(zmq::socket_ref socket) {
    zmq::message_t message;
    if (!socket.recv(message, zmq::recv_flags::dontwait)) {
        return std::nullopt;
    }
    return message;
}

}  // namespace kinetra::bus
