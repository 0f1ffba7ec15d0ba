// The frames the host sends to a link adapter, one builder per command, and device messages
// wrapped for the adapter's current medium. Pure; runs on whichever thread is about to write.
#pragma once

#include <cstdint>
#include <span>

#include "core/bytes.hpp"
#include "link/frame_codec.hpp"
#include "link/protocol.hpp"
#include "model/link_types.hpp"

namespace kinetra::link {

using Mac = std::array<std::uint8_t, kMacSize>;

/// The body of a `createBundle` command: the devices that are to form a new radio group.
struct CreateBundleRequest {
    std::int32_t deviceCount = 0;         ///< 0 to 4; the frame carries it as one byte
    std::int32_t forcedMasterDevice = 0;  ///< a DeviceModel code; the frame carries its low byte
    std::array<Mac, kMaxBundleDevices> macs{};
};

/// One builder per command: each resets the encoder and leaves one finished frame in it. The
/// builders that take a message or a body return false, with the encoder spoiled, when the frame
/// is refused; the others cannot fail.
namespace frames {

// Adapter commands.
void link2Connect(FrameEncoder& encoder);
void link2PairStatus(FrameEncoder& encoder);
void link2ScanResults(FrameEncoder& encoder);
void identify(FrameEncoder& encoder);
void selectLink(FrameEncoder& encoder, SelectLink link);
void linkVersions(FrameEncoder& encoder);
/// [0x12, message]; refused when the frame could not fit with every byte escaped.
[[nodiscard]] bool forwardRj45(FrameEncoder& encoder, core::ByteView message);
/// [0x18, message]; refused as forwardRj45.
[[nodiscard]] bool forwardCanbus(FrameEncoder& encoder, core::ByteView message);
/// [0x1B, message]: the adapter sends no reply; refused as forwardRj45.
[[nodiscard]] bool forwardCanbusUnacknowledged(FrameEncoder& encoder, core::ByteView message);

// Radio commands: [0x11, command, arguments].
void pairStatus(FrameEncoder& encoder);
void updateBegin(FrameEncoder& encoder);
void updateEnd(FrameEncoder& encoder);
void updateChunk(FrameEncoder& encoder, std::span<const std::uint8_t, kRadioChunkSize> chunk);
void radioReset(FrameEncoder& encoder);
void scanStart(FrameEncoder& encoder);
void scanStop(FrameEncoder& encoder);
void scanResults(FrameEncoder& encoder);
void attachToBundle(FrameEncoder& encoder, const Mac& mac);
/// [0x11, 0x09, count, master, count MACs]; refused when deviceCount is outside 0 to 4.
[[nodiscard]] bool createBundle(FrameEncoder& encoder, const CreateBundleRequest& request);
/// [0x11, 0x0A, length, message]; refused when the message is longer than 255 bytes (its length
/// travels in one byte) or the frame could not fit.
[[nodiscard]] bool forwardWireless(FrameEncoder& encoder, core::ByteView message);
void radioDisconnect(FrameEncoder& encoder);

}  // namespace frames

/// Whether the sender expects an answer; only the CAN bus has a separate command for "no".
enum class Delivery : std::uint8_t { acknowledged, unacknowledged };

enum class WrapStatus : std::uint8_t {
    framed,    ///< bytes is one frame, held by the encoder
    unframed,  ///< bytes is the message itself, to be written as it is
    nothing,   ///< the connection is outside the table: nothing is written
    refused,   ///< the frame could not fit: nothing is written
};

/// The bytes to write for one device message. `bytes` points into the encoder or the message.
struct Wrapped {
    WrapStatus status = WrapStatus::nothing;
    core::ByteView bytes;
};

/// Wraps a device message for a link adapter's connection: wireless [0x11, 0x0A, length, ...],
/// canbus [0x18, ...] (unacknowledged [0x1B, ...]), rj45 [0x12, ...], none unframed.
Wrapped wrapForConnection(FrameEncoder& encoder, core::ByteView message,
                          model::LinkConnectionType connection,
                          Delivery delivery = Delivery::acknowledged);

/// As wrapForConnection on a link adapter; a stop-motion module always takes the message
/// unframed, and any other link type gets nothing.
Wrapped wrapForLink(FrameEncoder& encoder, core::ByteView message, model::LinkType linkType,
                    model::LinkConnectionType connection,
                    Delivery delivery = Delivery::acknowledged);

}  // namespace kinetra::link
