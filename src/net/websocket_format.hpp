// RFC 6455 frames: a pure decoder for masked client frames and a builder for unmasked server
// frames. No threads, no sockets; a session calls it on its worker loop thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/enum_table.hpp"

namespace kinetra::net {

class WebSocketFormat {
public:
    /// Frame opcodes (RFC 6455 section 5.2); values outside the table are refused.
    enum class FrameType : std::uint8_t {
        continuation = 0x0,
        text = 0x1,
        binary = 0x2,
        close = 0x8,
        ping = 0x9,
        pong = 0xA,
    };

    /// Close status codes this layer sends (RFC 6455 section 7.4.1).
    enum class CloseCode : std::uint16_t {
        normal = 1000,
        protocolError = 1002,
        invalidPayload = 1007,   ///< a text message or close reason that is not UTF-8
        policyViolation = 1008,  ///< the client broke a rule of ours (it reads too slowly)
        messageTooBig = 1009,
        tryAgainLater = 1013,
    };

    enum class DecodeStatus {
        frame,          ///< A complete frame of `consumed` bytes; `frame` holds it unmasked.
        needMore,       ///< The input ends inside a frame; nothing consumed.
        protocolError,  ///< The frame breaks RFC 6455 (unmasked, reserved bits, bad opcode...).
        tooLarge,       ///< A data frame announces more than the allowed payload.
    };

    struct Frame {
        bool fin = false;
        FrameType type = FrameType::continuation;
        std::string payload;
    };

    struct DecodeResult {
        DecodeStatus status = DecodeStatus::needMore;
        std::size_t consumed = 0;
        Frame frame;
    };

    /// Largest frame header: 2 bytes, 8 of extended length, 4 of mask.
    static constexpr std::size_t kMaxHeaderSize = 14;
    /// Control frames carry at most 125 bytes and are never fragmented.
    static constexpr std::size_t kMaxControlPayload = 125;

    /// Decodes the first frame of `input`, a client-to-server stream (frames must be masked).
    /// A data frame announcing more than `maxPayload` bytes is `tooLarge` as soon as its length
    /// is readable; control frames are bounded by 125 bytes instead. Reads only inside `input`
    /// and allocates only the payload of a complete frame.
    static DecodeResult decodeFrame(std::span<const std::uint8_t> input, std::uint64_t maxPayload);

    /// Appends one unmasked server frame to `out`.
    static void appendFrame(std::string& out, FrameType type, std::string_view payload,
                            bool fin = true);

    /// One final unmasked frame as text.
    static std::string frame(FrameType type, std::string_view payload);

    /// The payload of a close frame carrying `code` and `reason` (UTF-8, at most 123 bytes).
    static std::string closePayload(CloseCode code, std::string_view reason = {});

    /// True when a peer may send `code` in a close frame (RFC 6455 section 7.4): 1000-1003,
    /// 1007-1011 and the private ranges 3000-4999. 1005, 1006 and 1015 only report a state
    /// and never go on the wire; the rest is reserved.
    static bool isReceivableCloseCode(std::uint16_t code);
};

/// Names of the frame types, for logs.
inline constexpr auto kFrameTypeNames = core::makeEnumTable<WebSocketFormat::FrameType>({
    {WebSocketFormat::FrameType::continuation, "continuation"},
    {WebSocketFormat::FrameType::text, "text"},
    {WebSocketFormat::FrameType::binary, "binary"},
    {WebSocketFormat::FrameType::close, "close"},
    {WebSocketFormat::FrameType::ping, "ping"},
    {WebSocketFormat::FrameType::pong, "pong"},
});

/// Views text bytes as the unsigned bytes the decoders take.
inline std::span<const std::uint8_t> asBytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace kinetra::net
