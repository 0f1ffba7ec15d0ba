// Radio image chunking and the stand-in image; run by the radio update thread.
#include "link/radio_image.hpp"

#include <algorithm>
#include <cassert>

namespace kinetra::link {

RadioImageChunks::RadioImageChunks(core::ByteView image)
    : image_(image), count_((image.size() + kRadioChunkSize - 1) / kRadioChunkSize) {
    paddedLast_.fill(kChunkPadding);
    const auto tail = image.size() % kRadioChunkSize;
    if (tail != 0) {
        std::copy(image.end() - static_cast<std::ptrdiff_t>(tail), image.end(),
                  paddedLast_.begin());
    }
}

RadioChunk RadioImageChunks::chunk(std::size_t index) const {
    assert(index < count_);
    const auto start = index * kRadioChunkSize;
    if (start + kRadioChunkSize <= image_.size()) {
        return RadioChunk{image_.data() + start, kRadioChunkSize};
    }
    return RadioChunk{paddedLast_};
}

core::Bytes generateRadioFirmwareImage(std::size_t size) {
    core::Bytes image(size);
    std::uint32_t state = 0x6B696E65;  // any non-zero seed; fixed so every run sends the same
    for (auto& byte : image) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = static_cast<std::uint8_t>(state >> 24);
    }
    return image;
}

core::ByteView radioFirmwareImage() {
    static const core::Bytes image = generateRadioFirmwareImage();
    return image;
}

}  // namespace kinetra::link
