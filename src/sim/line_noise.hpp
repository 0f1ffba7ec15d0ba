// What a noisy serial line adds around the emulator's frames: bursts of random bytes and, now and
// then, a copy of a frame spoiled on the way. Pure; used by the emulator's thread under its lock.
#pragma once

#include <cstdint>
#include <random>

#include "core/bytes.hpp"

namespace kinetra::sim {

class LineNoise {
public:
    /// The same seed gives the same noise, so a run can be repeated.
    explicit LineNoise(std::uint32_t seed = 1);

    /// Appends to `out` what the line puts in front of the frame carrying `payload`: about every
    /// second frame a burst of 3 to 12 random bytes closed by an end byte, and about every fourth
    /// a copy of the frame whose sum is off by one. Neither ever passes for a frame: a host's
    /// decoder must drop both and still read the frame that follows.
    void appendBefore(core::Bytes& out, core::ByteView payload);

private:
    std::uint8_t randomDataByte();

    std::minstd_rand random_;
};

}  // namespace kinetra::sim
