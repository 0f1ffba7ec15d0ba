// WebSocketReceiver: message reassembly and control-frame sorting per RFC 6455 section 5.4. Pure.
#include "net/websocket_receiver.hpp"

namespace kinetra::net {

using FrameType = WebSocketFormat::FrameType;
using DecodeStatus = WebSocketFormat::DecodeStatus;

WebSocketReceiver::Event WebSocketReceiver::next(std::span<const std::uint8_t> input) {
    Event event;
    for (;;) {
        const std::size_t room = maxMessage_ - (inMessage_ ? message_.size() : 0);
        auto decoded = WebSocketFormat::decodeFrame(input.subspan(event.consumed), room);
        switch (decoded.status) {
            case DecodeStatus::needMore:
                return event;
            case DecodeStatus::protocolError:
                event.kind = EventKind::protocolError;
                return event;
            case DecodeStatus::tooLarge:
                event.kind = EventKind::tooLarge;
                return event;
            case DecodeStatus::frame:
                break;
        }
        event.consumed += decoded.consumed;
        auto& frame = decoded.frame;
        switch (frame.type) {
            case FrameType::ping:
            case FrameType::pong:
            case FrameType::close:
                // Control frames may arrive between the fragments of a message (5.4).
                if (frame.type == FrameType::close && frame.payload.size() == 1) {
                    event.kind = EventKind::protocolError;  // a status code is two bytes
                    return event;
                }
                event.kind = frame.type == FrameType::ping   ? EventKind::ping
                             : frame.type == FrameType::pong ? EventKind::pong
                                                             : EventKind::close;
                event.payload = std::move(frame.payload);
                return event;
            case FrameType::text:
            case FrameType::binary:
                if (inMessage_) {  // a new message before the last one ended
                    event.kind = EventKind::protocolError;
                    return event;
                }
                if (frame.fin) {
                    event.kind = EventKind::message;
                    event.type = frame.type;
                    event.payload = std::move(frame.payload);
                    return event;
                }
                inMessage_ = true;
                messageType_ = frame.type;
                message_ = std::move(frame.payload);
                break;
            case FrameType::continuation:
                if (!inMessage_) {
                    event.kind = EventKind::protocolError;
                    return event;
                }
                message_.append(frame.payload);
                if (frame.fin) {
                    inMessage_ = false;
                    event.kind = EventKind::message;
                    event.type = messageType_;
                    event.payload = std::move(message_);
                    message_.clear();
                    return event;
                }
                break;
        }
    }
}

}  // namespace kinetra::net
