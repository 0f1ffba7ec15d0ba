// Shared helpers of the link tests: byte vectors written as the protocol notes write them, the
// payload of an encoded frame, and status messages. Run on the test thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/bytes.hpp"
#include "link/frame_codec.hpp"
#include "link/protocol.hpp"
#include "support/hex.hpp"

namespace kinetra::link::test {

using core::Bytes;

using kinetra::testing::bytes;
using kinetra::testing::hex;

/// The payload of `wire` in hex when `wire` holds exactly one frame, otherwise "no frame".
inline std::string framePayload(core::ByteView wire) {
    FrameDecoder decoder;
    std::vector<std::string> payloads;
    decoder.feed(wire, [&](core::ByteView payload) { payloads.push_back(hex(payload)); });
    return payloads.size() == 1 ? payloads[0] : "no frame";
}

/// The payload of the frame `encoder` holds, as framePayload.
inline std::string payloadOf(const FrameEncoder& encoder) {
    return encoder.finished() ? framePayload(encoder.encoded()) : "no frame";
}

/// `head` and a status message of `size` bytes whose acknowledge byte is `acknowledge`.
inline Bytes status(std::string_view head, std::uint8_t acknowledge,
                    std::size_t size = kStatusMessageSize) {
    Bytes payload = bytes(head);
    payload.push_back(kStatusMessageId);
    payload.resize(payload.size() + size - 1, 0x00);
    if (size > kAcknowledgeOffset) {
        payload[payload.size() - size + kAcknowledgeOffset] = acknowledge;
    }
    return payload;
}

}  // namespace kinetra::link::test
