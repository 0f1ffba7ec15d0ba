// Link frames on the serial line: payload bytes escaped, their 16-bit sum, an end byte.
// Pure; an encoder is used by one sending thread at a time, a decoder by its link's reader.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/bytes.hpp"
#include "link/protocol.hpp"

namespace kinetra::link {

/// The sum of the payload bytes modulo 65536, as carried in front of the end byte.
constexpr std::uint16_t frameChecksum(core::ByteView payload) {
    std::uint16_t sum = 0;
    for (const auto byte : payload) {
        sum = static_cast<std::uint16_t>(sum + byte);
    }
    return sum;
}

/// The encoded size of a payload of `payloadSize` bytes if every byte, the sum included, had to
/// be escaped. Builders refuse a payload whose worst case exceeds the encoder's capacity, so
/// whether a message is sent never depends on its content.
constexpr std::size_t worstCaseFrameSize(std::size_t payloadSize) {
    return 2 * (payloadSize + kChecksumSize) + 1;
}

/// The largest payload that always fits one encoder.
inline constexpr std::size_t kMaxFramePayload = (kEncoderCapacity - 1) / 2 - kChecksumSize;
static_assert(worstCaseFrameSize(kMaxFramePayload) <= kEncoderCapacity);
static_assert(worstCaseFrameSize(kMaxFramePayload + 1) > kEncoderCapacity);

/// Builds one frame in a fixed buffer of 2048 encoded bytes. It never writes past the buffer:
/// a byte that does not fit is refused, which spoils the frame, and every later append or finish
/// is refused too until `reset`. A finished frame refuses further bytes and stays whole.
class FrameEncoder {
public:
    static constexpr std::size_t kCapacity = kEncoderCapacity;

    /// Starts a new frame: nothing encoded, sum 0.
    void reset();
    /// Adds `byte` to the sum and writes it escaped. False (frame spoiled) when it does not fit.
    [[nodiscard]] bool append(std::uint8_t byte);
    /// Appends every byte of `bytes` in order; false as soon as one does not fit.
    [[nodiscard]] bool append(core::ByteView bytes);
    /// Writes the sum (high byte, then low byte, each escaped) and the end byte. False when the
    /// frame is spoiled, holds no payload byte, or the tail does not fit.
    [[nodiscard]] bool finish();

    /// True once a byte was refused; the encoded bytes are then no frame.
    bool spoiled() const { return spoiled_; }
    /// True after a successful `finish`: encoded() is one whole frame.
    bool finished() const { return finished_; }
    /// The bytes encoded so far; valid until the next call that changes this encoder.
    core::ByteView encoded() const { return {buffer_.data(), static_cast<std::size_t>(length_)}; }
    std::int32_t size() const { return length_; }

private:
    bool put(std::uint8_t byte);

    std::array<std::uint8_t, kCapacity> buffer_{};
    std::int32_t length_ = 0;
    std::uint16_t sum_ = 0;
    std::size_t payloadBytes_ = 0;
    bool spoiled_ = false;
    bool finished_ = false;
};

/// Resets `encoder` and encodes `payload` as one whole frame. False when it could not fit.
[[nodiscard]] bool encodeFrame(FrameEncoder& encoder, core::ByteView payload);

/// What one byte did to a decoder.
enum class DecodeResult : std::uint8_t {
    needMore,   ///< nothing complete yet
    frame,      ///< this end byte closed a frame with a good sum: payload() holds it
    discarded,  ///< the bytes collected so far were dropped: short frame, bad sum, or over bound
};

/// Turns the bytes read from one port back into payloads. Pure: no logging, no clock, no throw.
/// A frame that holds fewer than 3 bytes at its end byte, or whose sum does not match, is
/// discarded. More than 4096 bytes collected without an end byte are discarded too, and so is
/// everything up to the next end byte, where decoding starts afresh.
class FrameDecoder {
public:
    static constexpr std::size_t kBound = kDecoderBound;

    FrameDecoder();

    /// Takes the next byte read from the port.
    DecodeResult push(std::uint8_t byte);
    /// The payload of the frame just completed, its sum removed; valid until the next push.
    core::ByteView payload() const;
    /// Pushes every byte of `bytes` in order and calls onPayload(core::ByteView) per frame.
    template <typename OnPayload>
    void feed(core::ByteView bytes, OnPayload&& onPayload) {
        for (const auto byte : bytes) {
            if (push(byte) == DecodeResult::frame) {
                onPayload(payload());
            }
        }
    }
    /// Forgets everything collected.
    void reset();
    /// Bytes collected for the frame in progress (payload and sum, escaping removed).
    std::size_t collected() const { return collected_.size(); }

    /// Since construction: runs of bytes dropped (each `discarded` result, and a run skipped
    /// up to an end byte past the bound) and the bytes read that went into none of the frames
    /// returned, as they came from the line (escape bytes and end bytes included). A lone end
    /// byte between frames is framing, not counted.
    std::uint64_t discardedFrames() const { return discardedFrames_; }
    std::uint64_t discardedBytes() const { return discardedBytes_; }

private:
    DecodeResult store(std::uint8_t byte);
    DecodeResult endOfFrame();
    void discard();  // counts the run that ends here

    std::vector<std::uint8_t> collected_;
    bool escapePending_ = false;
    bool complete_ = false;
    bool skipping_ = false;         // past the bound: ignore bytes up to the next end byte
    std::size_t pendingBytes_ = 0;  // bytes read since the last frame or discard
    std::uint64_t discardedFrames_ = 0;
    std::uint64_t discardedBytes_ = 0;
};

}  // namespace kinetra::link
