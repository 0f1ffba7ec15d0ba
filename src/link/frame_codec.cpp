// Link frame encoding and decoding; see frame_codec.hpp. Pure, no thread of its own.
#include "link/frame_codec.hpp"

#include <utility>

namespace kinetra::link {

void FrameEncoder::reset() {
    length_ = 0;
    sum_ = 0;
    payloadBytes_ = 0;
    spoiled_ = false;
    finished_ = false;
}

bool FrameEncoder::put(std::uint8_t byte) {
    const bool escaped = byte == kEndByte || byte == kEscapeByte;
    const auto needed = static_cast<std::int32_t>(escaped ? 2 : 1);
    if (spoiled_ || length_ + needed > static_cast<std::int32_t>(kCapacity)) {
        spoiled_ = true;
        return false;
    }
    if (escaped) {
        buffer_[static_cast<std::size_t>(length_++)] = kEscapeByte;
        byte = byte == kEndByte ? kEscapedEnd : kEscapedEscape;
    }
    buffer_[static_cast<std::size_t>(length_++)] = byte;
    return true;
}

bool FrameEncoder::append(std::uint8_t byte) {
    if (finished_ || !put(byte)) {
        return false;
    }
    sum_ = static_cast<std::uint16_t>(sum_ + byte);
    ++payloadBytes_;
    return true;
}

bool FrameEncoder::append(core::ByteView bytes) {
    for (const auto byte : bytes) {
        if (!append(byte)) {
            return false;
        }
    }
    return true;
}

bool FrameEncoder::finish() {
    // The end byte must fit behind the sum, so check the whole tail before writing any of it.
    if (finished_) {
        return false;
    }
    if (spoiled_ || payloadBytes_ == 0) {
        spoiled_ = true;
        return false;
    }
    const auto high = static_cast<std::uint8_t>(sum_ >> 8);
    const auto low = static_cast<std::uint8_t>(sum_ & 0xFF);
    const auto width = [](std::uint8_t b) { return b == kEndByte || b == kEscapeByte ? 2 : 1; };
    if (length_ + width(high) + width(low) + 1 > static_cast<std::int32_t>(kCapacity)) {
        spoiled_ = true;
        return false;
    }
    put(high);
    put(low);
    buffer_[static_cast<std::size_t>(length_++)] = kEndByte;
    finished_ = true;
    return true;
}

bool encodeFrame(FrameEncoder& encoder, core::ByteView payload) {
    encoder.reset();
    return encoder.append(payload) && encoder.finish();
}

FrameDecoder::FrameDecoder() {
    // Most inbound frames are status messages and short replies; scans are a few hundred bytes.
    collected_.reserve(512);
}

void FrameDecoder::reset() {
    collected_.clear();
    escapePending_ = false;
    complete_ = false;
    skipping_ = false;
    pendingBytes_ = 0;
}

core::ByteView FrameDecoder::payload() const {
    if (!complete_) {
        return {};
    }
    return {collected_.data(), collected_.size()};
}

DecodeResult FrameDecoder::push(std::uint8_t byte) {
    if (complete_) {
        collected_.clear();
        complete_ = false;
    }
    ++pendingBytes_;
    if (escapePending_) {
        // An escape byte followed by anything but DC or DD stands for that byte itself.
        escapePending_ = false;
        if (byte == kEscapedEscape) {
            byte = kEscapeByte;
        } else if (byte == kEscapedEnd) {
            byte = kEndByte;
        }
        return store(byte);
    }
    if (byte == kEndByte) {
        return endOfFrame();
    }
    if (byte == kEscapeByte) {
        escapePending_ = true;
        return DecodeResult::needMore;
    }
    return store(byte);
}

DecodeResult FrameDecoder::store(std::uint8_t byte) {
    if (skipping_) {
        return DecodeResult::needMore;
    }
    if (collected_.size() >= kBound) {
        // A lost end byte or a peer that never sends one: without a bound the buffer would grow
        // for as long as the port delivers bytes.
        collected_.clear();
        skipping_ = true;
        discard();
        return DecodeResult::discarded;
    }
    collected_.push_back(byte);
    return DecodeResult::needMore;
}

DecodeResult FrameDecoder::endOfFrame() {
    if (skipping_) {
        // The run past the bound was counted when it began; what it skipped counts as bytes.
        skipping_ = false;
        discardedBytes_ += std::exchange(pendingBytes_, 0);
        return DecodeResult::needMore;
    }
    const auto size = collected_.size();
    if (size == 0) {
        pendingBytes_ = 0;
        return DecodeResult::needMore;  // two end bytes in a row
    }
    if (size >= kMinimumFrameBytes) {
        const core::ByteView all{collected_.data(), size};
        const auto payloadSize = size - kChecksumSize;
        if (frameChecksum(all.first(payloadSize)) == core::readU16BE(all, payloadSize)) {
            collected_.resize(payloadSize);
            complete_ = true;
            pendingBytes_ = 0;
            return DecodeResult::frame;
        }
    }
    collected_.clear();
    discard();
    return DecodeResult::discarded;
}

void FrameDecoder::discard() {
    ++discardedFrames_;
    discardedBytes_ += std::exchange(pendingBytes_, 0);
}

}  // namespace kinetra::link
