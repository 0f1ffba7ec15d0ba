#include "bus/wait.hpp"

#include <vector>

namespace kinetra::bus {

std::optional<zmq::message_t> receiveWithin(zmq::socket_ref socket, Milliseconds timeout) {
    const std::array<zmq::socket_ref, 1> one{socket};
    if (!waitReadable(one, timeout)) {
        return std::nullopt;
    }
    return tryReceive(socket);
}

std::optional<zmq::message_t> receiveWithRetries(zmq::socket_ref socket, int tries,
                                                 Milliseconds interval,
                                                 const std::function<bool()>& keepWaiting) {
    for (int attempt = 0; attempt < tries; ++attempt) {
        if (auto message = receiveWithin(socket, interval)) {
            return message;
        }
        if (keepWaiting && !keepWaiting()) {
            return std::nullopt;
        }
    }
    return std::nullopt;
}

std::optional<std::size_t> waitReadable(std::span<const zmq::socket_ref> sockets,
                                        Milliseconds timeout) {
    std::vector<zmq::pollitem_t> items;
    items.reserve(sockets.size());
    for (zmq::socket_ref socket : sockets) {
        items.push_back(zmq::pollitem_t{socket.handle(), 0, ZMQ_POLLIN, 0});
    }
    // zmq_poll may return early (EINTR, or a readiness that another reader took); wait out the
    // rest of the bound on a steady clock.
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto now = std::chrono::steady_clock::now();
        const auto left = std::chrono::ceil<Milliseconds>(deadline - now);
        const auto ready = zmq::poll(items.data(), items.size(), std::max(left, Milliseconds(0)));
        if (ready > 0) {
            for (std::size_t i = 0; i < items.size(); ++i) {
                if (items[i].revents & ZMQ_POLLIN) {
                    return i;
                }
            }
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return std::nullopt;
        }
    }
}

bool trySend(zmq::socket_ref socket, std::string_view text) {
    return socket.send(zmq::buffer(text), zmq::send_flags::dontwait).has_value();
}

std::optional<zmq::message_t> tryReceive(zmq::socket_ref socket) {
    zmq::message_t message;
    if (!socket.recv(message, zmq::recv_flags::dontwait)) {
        return std::nullopt;
    }
    return message;
}

}  // namespace kinetra::bus
