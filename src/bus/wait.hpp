// Bounded waits on bus sockets. Every wait in the process has a bound and ends as soon as its
// message arrives: "N tries T ms apart" is a wait of at most N x T that wakes on the message,
// with the caller's checks run between tries. Used from whichever thread owns the socket.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include <zmq.hpp>

namespace kinetra::bus {

using Milliseconds = std::chrono::milliseconds;

/// Waits at most `timeout` for a message on `socket` and returns it, or nothing.
std::optional<zmq::message_t> receiveWithin(zmq::socket_ref socket, Milliseconds timeout);

/// Up to `tries` waits of `interval` each for a message on `socket`. Between tries
/// `keepWaiting` (when given) is asked; false ends the wait without a message.
std::optional<zmq::message_t> receiveWithRetries(zmq::socket_ref socket, int tries,
                                                 Milliseconds interval,
                                                 const std::function<bool()>& keepWaiting = {});

/// Blocks until one of `sockets` has a message or `timeout` passes. Returns the index of the
/// first readable socket, or nothing on timeout. Service loops use it with their poll interval.
std::optional<std::size_t> waitReadable(std::span<const zmq::socket_ref> sockets,
                                        Milliseconds timeout);

/// Sends `text` as one frame without blocking; false when the message could not be queued.
bool trySend(zmq::socket_ref socket, std::string_view text);

/// Takes one message without blocking, if one is waiting.
std::optional<zmq::message_t> tryReceive(zmq::socket_ref socket);

}  // namespace kinetra::bus
