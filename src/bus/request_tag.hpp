// The request tag: one small binary frame a DEALER puts before the empty delimiter of a request,
// [tag, "", body]. A REP service echoes every frame before the delimiter with its reply, so the
// reply comes back tagged and is matched to its request by id, in whatever order replies come.
// A ROUTER service reads the tag to learn who asks (the client key), how long the sender waits
// (patience) and whether the server itself made the request as a stop. Pure; any thread.
//
// Layout, 24 bytes, integers big-endian:
//
//   0  'K' 'T'   magic
//   2  version   kRequestTagVersion
//   3  flags     bit 0: stop; the other bits are zero
//   4  u32       patience in ms (0: the sender waits without a bound)
//   8  u64       request id (unique per sending route)
//  16  u64       client key (a connection, an OSC source...; 0: the sender itself)
//
// Clients never write envelope frames: only the server's own routes make tags, so a stop flag
// always comes from the server.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>

namespace kinetra::bus {

inline constexpr std::size_t kRequestTagSize = 24;
inline constexpr std::uint8_t kRequestTagVersion = 1;

struct RequestTag {
    std::uint64_t id = 0;
    std::uint64_t client = 0;
    /// How long the sender waits for the reply from the moment it sent; zero: without a bound.
    std::chrono::milliseconds patience{0};
    /// A stop the server made (the dead-man's zero stick, a drive time-out): it goes ahead of
    /// every ordinary command of its bundle and cancels those queued before it.
    bool stop = false;

    friend bool operator==(const RequestTag&, const RequestTag&) = default;
};

using RequestTagBytes = std::array<std::uint8_t, kRequestTagSize>;

/// The frame for `tag`. A patience beyond what 32 bits of milliseconds hold is written as the
/// largest value; a negative one as zero.
RequestTagBytes encodeRequestTag(const RequestTag& tag);

/// The tag in `frame`, or nothing when the frame is not a tag of this version (wrong size,
/// magic, version or unknown flags): such a frame is treated as "no tag".
std::optional<RequestTag> decodeRequestTag(std::span<const std::uint8_t> frame);

}  // namespace kinetra::bus
