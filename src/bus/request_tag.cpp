// The request tag's encoder and decoder; pure.
#include "bus/request_tag.hpp"

#include <algorithm>
#include <limits>

namespace kinetra::bus {
namespace {

constexpr std::uint8_t kMagic0 = 'K';
constexpr std::uint8_t kMagic1 = 'T';
constexpr std::uint8_t kStopFlag = 0x01;
constexpr std::size_t kFlagsAt = 3;
constexpr std::size_t kPatienceAt = 4;
constexpr std::size_t kIdAt = 8;
constexpr std::size_t kClientAt = 16;
static_assert(kClientAt + 8 == kRequestTagSize);

template <typename Unsigned>
void put(RequestTagBytes& out, std::size_t at, Unsigned value) {
    for (std::size_t i = 0; i < sizeof(Unsigned); ++i) {
        out[at + i] = static_cast<std::uint8_t>(value >> (8 * (sizeof(Unsigned) - 1 - i)));
    }
}

template <typename Unsigned>
Unsigned get(std::span<const std::uint8_t> in, std::size_t at) {
    Unsigned value = 0;
    for (std::size_t i = 0; i < sizeof(Unsigned); ++i) {
        value = static_cast<Unsigned>((value << 8) | in[at + i]);
    }
    return value;
}

}  // namespace

RequestTagBytes encodeRequestTag(const RequestTag& tag) {
    RequestTagBytes out{};
    out[0] = kMagic0;
    out[1] = kMagic1;
    out[2] = kRequestTagVersion;
    out[kFlagsAt] = tag.stop ? kStopFlag : 0;
    const auto patience = std::clamp<std::int64_t>(tag.patience.count(), 0,
                                                   std::numeric_limits<std::uint32_t>::max());
    put(out, kPatienceAt, static_cast<std::uint32_t>(patience));
    put(out, kIdAt, tag.id);
    put(out, kClientAt, tag.client);
    return out;
}

std::optional<RequestTag> decodeRequestTag(std::span<const std::uint8_t> frame) {
    if (frame.size() != kRequestTagSize || frame[0] != kMagic0 || frame[1] != kMagic1 ||
        frame[2] != kRequestTagVersion || (frame[kFlagsAt] & ~kStopFlag) != 0) {
        return std::nullopt;
    }
    RequestTag tag;
    tag.stop = (frame[kFlagsAt] & kStopFlag) != 0;
    tag.patience = std::chrono::milliseconds(get<std::uint32_t>(frame, kPatienceAt));
    tag.id = get<std::uint64_t>(frame, kIdAt);
    tag.client = get<std::uint64_t>(frame, kClientAt);
    return tag;
}

}  // namespace kinetra::bus
