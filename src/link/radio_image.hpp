// The radio firmware image and its cutting into the 1000-byte chunks of `updateChunk`.
// Pure; used by the radio update thread of a link.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/bytes.hpp"
#include "link/protocol.hpp"

namespace kinetra::link {

using RadioChunk = std::span<const std::uint8_t, kRadioChunkSize>;

/// An image seen as 1000-byte chunks. Whole chunks are views into the image, which must outlive
/// this object; only a short last chunk is copied, padded with 0xFF to 1000 bytes.
class RadioImageChunks {
public:
    explicit RadioImageChunks(core::ByteView image);

    /// ceil(image size / 1000): 819 for the built-in image.
    std::size_t count() const { return count_; }
    /// Chunk `index` (< count()); valid as long as both the image and this object are.
    RadioChunk chunk(std::size_t index) const;

private:
    core::ByteView image_;
    std::size_t count_ = 0;
    std::array<std::uint8_t, kRadioChunkSize> paddedLast_{};
};

/// The radio firmware image the server loads into an adapter: 818,832 bytes, built once per
/// process and never changed. The real radio build is not part of the sources yet; until it
/// is, this is a fixed pseudo-random block of the right size, the same in every run.
core::ByteView radioFirmwareImage();

/// The generator behind radioFirmwareImage(): a 32-bit xorshift sequence from a fixed seed.
core::Bytes generateRadioFirmwareImage(std::size_t size = kRadioImageSize);

}  // namespace kinetra::link
