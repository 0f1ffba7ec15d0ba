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

#include "platform/stop_signal.hpp"

namespace kinetra::bus {

using Milliseconds = std::chrono::milliseconds;

/// A timeout for waits that end only on their event or on their stop signal.
inline constexpr Milliseconds kForever{-1};

/// Waits at most `timeout` for a message on `socket` and returns it, or nothing. A set `stop`
/// ends the wait at once.
std::optional<zmq::message_t> receiveWithin(zmq::socket_ref socket, Milliseconds timeout,
                                            const platform::StopSignal* stop = nullptr);

/// Up to `tries` waits of `interval` each for a message on `socket`. Between tries
/// `keepWaiting` (when given) is asked; false ends the wait without a message. A set `stop`
/// ends the wait at once.
std::optional<zmq::message_t> receiveWithRetries(zmq::socket_ref socket, int tries,
                                                 Milliseconds interval,
                                                 const std::function<bool()>& keepWaiting = {},
                                                 const platform::StopSignal* stop = nullptr);

/// Blocks until one of `sockets` has a message, `timeout` passes (kForever: never) or `stop` is
/// set. Returns the index of the first readable socket, or nothing. Service loops block here
/// with kForever and their stop signal, so an idle service costs no CPU.
std::optional<std::size_t> waitReadable(std::span<const zmq::socket_ref> sockets,
                                        Milliseconds timeout,
                                        const platform::StopSignal* stop = nullptr);

/// Binds `socket` to `endpoint`. The bus frees a name on its own thread shortly after its
/// previous owner closed it, so a service that comes back at once (a link replugged) may find it
/// still taken: the bind is tried again for at most `patience`. There is no event to wait on.
/// Throws zmq::error_t when the name stays taken or the bind fails otherwise.
void bindWhenFree(zmq::socket_ref socket, const std::string& endpoint,
                  Milliseconds patience = Milliseconds(2000));

/// Sends `text` as one frame without blocking; false when the message could not be queued.
bool trySend(zmq::socket_ref socket, std::string_view text);

/// Sends `text` as one frame, waiting at most `timeout` for room (no peer yet, a full queue). A
/// set `stop` ends the wait at once. False when the message could not be queued.
bool sendWithin(zmq::socket_ref socket, std::string_view text, Milliseconds timeout,
                const platform::StopSignal* stop = nullptr);

/// Takes one message without blocking, if one is waiting.
std::optional<zmq::message_t> tryReceive(zmq::socket_ref socket);

}  // namespace kinetra::bus
