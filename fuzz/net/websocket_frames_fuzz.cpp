// libFuzzer target: arbitrary bytes through the frame decoder and the message receiver, as a
// client stream would arrive. Checks that neither reads past its input nor loses track.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

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
        if (event.kind == WebSocketReceiver::EventKind::needMore ||
            event.kind == WebSocketReceiver::EventKind::protocolError ||
            event.kind == WebSocketReceiver::EventKind::tooLarge) {
            break;
        }
    }
    return 0;
}
