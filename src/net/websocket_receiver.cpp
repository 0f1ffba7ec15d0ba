// WebSocketReceiver: message reassembly and control-frame sorting per RFC 6455 section 5.4. Pure.
#include "net/websocket_receiver.hpp"

#include "core/bytes.hpp"
#include "core/utf8.hpp"

namespace kinetra::net {

using FrameType = WebSocketFormat::FrameType;
using DecodeStatus = WebSocketFormat::DecodeStatus;
using EventKind = WebSocketReceiver::EventKind;

namespace {

// A close body is empty, or a status code a peer may send followed by a UTF-8 reason (7.1.5).
EventKind closeEvent(std::string_view body) {
    if (body.empty()) {
        return EventKind::close;
    }
    if (body.size() < 2 ||
        !WebSocketFormat::isReceivableCloseCode(core::readU16BE(asBytes(body.substr(0, 2)), 0))) {
        return EventKind::protocolError;
    }
    return core::isValidUtf8(body.substr(2)) ? EventKind::close : EventKind::invalidText;
}

// A whole message as the handler gets it: text must be UTF-8 (8.1).
EventKind messageEvent(FrameType type, std::string_view payload) {
    return type == FrameType::text && !core::isValidUtf8(payload) ? EventKind::invalidText
                                                                  : EventKind::message;
}

}  // namespace

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
                event.kind = frame.type == FrameType::ping   ? EventKind::ping
                             : frame.type == FrameType::pong ? EventKind::pong
                                                             : closeEvent(frame.payload);
                event.payload = std::move(frame.payload);
                return event;
            case FrameType::text:
            case FrameType::binary:
                if (inMessage_) {  // a new message before the last one ended
                    event.kind = EventKind::protocolError;
                    return event;
                }
                if (frame.fin) {
                    event.kind = messageEvent(frame.type, frame.payload);
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
                    event.kind = messageEvent(messageType_, message_);
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
