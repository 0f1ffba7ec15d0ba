// Separates what the host writes into link frames and device messages written without a frame
// (to a stop-motion module, or to an adapter with no medium). Neither carries a marker, so a
// message is taken at a frame boundary when it is whole, its sum is right and the devices know
// its command, unless the bytes up to the next end byte form a good frame. Pure (the time is
// passed in); runs on the emulator's thread.
#pragma once

#include <functional>
#include <optional>
#include <vector>

#include "core/bytes.hpp"
#include "link/frame_codec.hpp"
#include "sim/link_config.hpp"

namespace kinetra::sim {

struct InboundUnit {
    enum class Kind : std::uint8_t { frame, unframed };
    Kind kind = Kind::frame;
    core::Bytes bytes;  ///< the frame's payload, or the whole device message
};

class InboundSplitter {
public:
    /// The size of the whole device message at the start of the bytes, or nothing.
    using MessageAt = std::function<std::optional<std::size_t>(core::ByteView)>;

    /// `gap`: how long bytes that may still become a device message are held without more bytes
    /// arriving before they are read as part of a frame.
    explicit InboundSplitter(Milliseconds gap) : gap_(gap) {}

    /// Takes bytes read from the line. `unframed` says whether device messages may come without
    /// a frame now; `messageAt` recognises them.
    void feed(core::ByteView bytes, bool unframed, const MessageAt& messageAt,
              Clock::time_point now, std::vector<InboundUnit>& out);
    /// Gives up waiting for a device message once the gap has passed.
    void expire(Clock::time_point now, const MessageAt& messageAt, std::vector<InboundUnit>& out);
    /// When held bytes are given up, if any are held.
    std::optional<Clock::time_point> deadline() const;
    /// Frames dropped for a bad sum, a short frame or too many bytes without an end byte.
    std::size_t framesDiscarded() const { return discarded_; }

private:
    void split(bool unframed, bool final, const MessageAt& messageAt,
               std::vector<InboundUnit>& out);
    bool frameAhead() const;
    void toDecoder(std::size_t count, std::vector<InboundUnit>& out);

    Milliseconds gap_;
    core::Bytes pending_;  // bytes not yet given to the decoder or taken as a message
    link::FrameDecoder decoder_;
    Clock::time_point lastByte_{};
    bool holding_ = false;   // pending_ may be the start of a device message
    bool midFrame_ = false;  // the decoder holds part of a frame
    std::size_t discarded_ = 0;
};

}  // namespace kinetra::sim
