// libFuzzer target: arbitrary bytes through the frame decoder and the message receiver, as a
// client stream would arrive. Checks that neither reads past its input nor loses track, and that
// no text that is not UTF-8 and no close code a peer may not send gets through.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "core/utf8.hpp"
#include "net/websocket_format.hpp"
#include "net/websocket_receiver.hpp"

using kinetra::net::WebSocketFormat;
using kinetra::net::WebSocketReceiver;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> input(data, size);
    // The first byte picks a small limit so the tooLarge paths are reached as well.
    const std::size_t limit = size == 0 ? 0 : std::size_t{data[0]} * 64;

    const auto decoded = WebSocketFormat::decodeFrame(input, limit);
    if (decoded.consumed > size || decoded.frame.payload.size() > decoded.consumed) {
        std::abort();
    }

    WebSocketReceiver receiver(limit);
    std::size_t offset = 0;
    for (;;) {
        const auto event = receiver.next(input.subspan(offset));
        if (event.consumed > size - offset || event.payload.size() > limit + 125) {
            std::abort();
        }
        offset += event.consumed;
        const bool badText = event.kind == WebSocketReceiver::EventKind::message &&
                             event.type == WebSocketFormat::FrameType::text &&
                             !kinetra::core::isValidUtf8(event.payload);
        const bool badClose =
            event.kind == WebSocketReceiver::EventKind::close && !event.payload.empty() &&
            (event.payload.size() < 2 ||
             !WebSocketFormat::isReceivableCloseCode(
                 static_cast<std::uint16_t>(static_cast<std::uint8_t>(event.payload[0]) << 8 |
                                            static_cast<std::uint8_t>(event.payload[1]))));
        if (badText || badClose) {
            std::abort();
        }
        if (event.kind == WebSocketReceiver::EventKind::needMore ||
            event.kind == WebSocketReceiver::EventKind::protocolError ||
            event.kind == WebSocketReceiver::EventKind::invalidText ||
            event.kind == WebSocketReceiver::EventKind::tooLarge) {
            break;
        }
    }
    return 0;
}
