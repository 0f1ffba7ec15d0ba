// Splitting the host's byte stream into frames and unframed device messages. Runs on the
// emulator's thread.
#include "sim/inbound_splitter.hpp"

#include <algorithm>

#include "sim/device_commands.hpp"

namespace kinetra::sim {

void InboundSplitter::feed(core::ByteView bytes, bool unframed, const MessageAt& messageAt,
                           Clock::time_point now, std::vector<InboundUnit>& out) {
    pending_.insert(pending_.end(), bytes.begin(), bytes.end());
    lastByte_ = now;
    split(unframed, false, messageAt, out);
}

void InboundSplitter::expire(Clock::time_point now, const MessageAt& messageAt,
                             std::vector<InboundUnit>& out) {
    if (holding_ && now >= lastByte_ + gap_) {
        split(true, true, messageAt, out);
    }
}

std::optional<Clock::time_point> InboundSplitter::deadline() const {
    if (!holding_) {
        return std::nullopt;
    }
    return lastByte_ + gap_;
}

void InboundSplitter::split(bool unframed, bool final, const MessageAt& messageAt,
                            std::vector<InboundUnit>& out) {
    holding_ = false;
    while (!pending_.empty()) {
        if (unframed && !midFrame_ && !frameAhead()) {
            if (const auto size = messageAt(pending_)) {
                out.push_back({InboundUnit::Kind::unframed,
                               core::Bytes(pending_.begin(), pending_.begin() + *size)});
                pending_.erase(pending_.begin(), pending_.begin() + *size);
                continue;
            }
            const auto announced = announcedDeviceMessageSize(pending_);
            if (announced && pending_.size() < *announced && !final) {
                holding_ = true;  // the rest of a message may still be on its way
                return;
            }
        }
        // Up to and including the next end byte, or everything when none has come yet.
        const auto end = std::find(pending_.begin(), pending_.end(), link::kEndByte);
        const auto count = end == pending_.end()
                               ? pending_.size()
                               : static_cast<std::size_t>(end - pending_.begin()) + 1;
        toDecoder(count, out);
    }
}

bool InboundSplitter::frameAhead() const {
    const auto end = std::find(pending_.begin(), pending_.end(), link::kEndByte);
    if (end == pending_.end()) {
        return false;
    }
    link::FrameDecoder trial;
    for (auto it = pending_.begin(); it != end + 1; ++it) {
        if (trial.push(*it) == link::DecodeResult::frame) {
            return true;
        }
    }
    return false;
}

void InboundSplitter::toDecoder(std::size_t count, std::vector<InboundUnit>& out) {
    for (std::size_t i = 0; i < count; ++i) {
        const auto result = decoder_.push(pending_[i]);
        midFrame_ = result == link::DecodeResult::needMore && pending_[i] != link::kEndByte;
        switch (result) {
            case link::DecodeResult::frame: {
                const auto payload = decoder_.payload();
                out.push_back(
                    {InboundUnit::Kind::frame, core::Bytes(payload.begin(), payload.end())});
                break;
            }
            case link::DecodeResult::discarded:
                ++discarded_;
                break;
            case link::DecodeResult::needMore:
                break;
        }
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(count));
}

}  // namespace kinetra::sim
