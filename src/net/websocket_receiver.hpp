// Turns the frames of one client connection into events: whole messages (fragments joined),
// control frames, errors. Pure state machine; its session drives it on the worker loop thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "net/websocket_format.hpp"

namespace kinetra::net {

/// Reassembles messages from a client's frame stream, enforcing a message size limit.
class WebSocketReceiver {
public:
    enum class EventKind {
        needMore,       ///< The input ends inside a frame (fragments before it were taken in).
        message,        ///< A complete text or binary message.
        ping,           ///< A ping: answer with a pong carrying `payload`.
        pong,           ///< A pong: nothing to do.
        close,          ///< A close frame; `payload` is its body (empty, or a code a peer may
                        ///< send and a UTF-8 reason).
        protocolError,  ///< RFC 6455 was broken (a close code no peer may send among it):
                        ///< answer close 1002. The receiver is spent.
        invalidText,    ///< A text message or close reason that is not UTF-8: answer close 1007.
                        ///< The receiver is spent.
        tooLarge,       ///< A message exceeds the limit: answer close 1009. The receiver is spent.
    };

    struct Event {
        EventKind kind = EventKind::needMore;
        WebSocketFormat::FrameType type = WebSocketFormat::FrameType::text;  ///< of a message
        std::string payload;
        std::size_t consumed = 0;  ///< Bytes of the input used up, also with needMore.
    };

    /// `maxMessage`: the largest message (all its fragments together) accepted, in bytes.
    explicit WebSocketReceiver(std::size_t maxMessage) : maxMessage_(maxMessage) {}

    /// Reads frames from the start of `input` until one yields an event. Fragments of a message
    /// are kept inside the receiver, so the caller drops `consumed` bytes after every call.
    Event next(std::span<const std::uint8_t> input);

private:
    std::size_t maxMessage_;
    bool inMessage_ = false;  // a fragmented message has started
    WebSocketFormat::FrameType messageType_ = WebSocketFormat::FrameType::text;
    std::string message_;  // fragments received so far
};

}  // namespace kinetra::net
