// The serial protocol between the host and its link modules, one constant per line of
// docs/protocol.md and in the same order. Pure data, read by every thread of a link.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace kinetra::link {

// --- Link frames -------------------------------------------------------------------------------

inline constexpr std::uint8_t kEndByte = 0xC0;
inline constexpr std::uint8_t kEscapeByte = 0xDB;
inline constexpr std::uint8_t kEscapedEnd = 0xDC;      // 0xDB 0xDC stands for 0xC0
inline constexpr std::uint8_t kEscapedEscape = 0xDD;   // 0xDB 0xDD stands for 0xDB
inline constexpr std::size_t kChecksumSize = 2;        // 16-bit sum, high byte first
inline constexpr std::size_t kMinimumFrameBytes = 3;   // one payload byte and the sum
inline constexpr std::size_t kEncoderCapacity = 2048;  // encoded bytes of one outbound frame
inline constexpr std::size_t kDecoderBound = 4096;     // bytes collected before giving up

// --- Host to link adapter ----------------------------------------------------------------------

/// The first payload byte of every frame the host sends to a link adapter.
enum class AdapterCommand : std::uint8_t {
    radioCommand = 0x11,
    forwardRj45 = 0x12,
    link2Connect = 0x15,
    link2PairStatus = 0x16,
    link2ScanResults = 0x17,
    forwardCanbus = 0x18,
    identify = 0x19,
    selectLink = 0x1A,
    forwardCanbusUnacknowledged = 0x1B,
    linkVersions = 0x1C,
};

/// The byte after `radioCommand`.
enum class RadioCommand : std::uint8_t {
    pairStatus = 0x00,
    updateBegin = 0x01,
    updateEnd = 0x02,
    updateChunk = 0x03,
    radioReset = 0x04,
    scanStart = 0x05,
    scanStop = 0x06,
    scanResults = 0x07,
    attachToBundle = 0x08,
    createBundle = 0x09,
    forwardWireless = 0x0A,
    radioDisconnect = 0x0C,
};

/// The argument of `selectLink`. Not the same numbering as LinkConnectionType.
enum class SelectLink : std::uint8_t { none = 0, rj45 = 1, canbus = 2, wireless = 3 };

inline constexpr std::size_t kRadioChunkSize = 1000;  // `updateChunk` carries exactly this
inline constexpr std::size_t kMacSize = 6;
inline constexpr std::size_t kMaxBundleDevices = 4;      // MAC addresses in one `createBundle`
inline constexpr std::size_t kMaxWirelessMessage = 255;  // `forwardWireless` length is one byte

// --- Link module to host -----------------------------------------------------------------------

/// The first payload byte of every frame a link adapter sends.
enum class MessageSource : std::uint8_t { adapter = 0, radio = 1, canbus = 2, rj45 = 3 };

inline constexpr std::size_t kPacketTypeOffset = 1;    // sources 0 and 1
inline constexpr std::uint8_t kLastAdapterPacket = 3;  // adapter packet types run 0 to 3
inline constexpr std::uint8_t kRadioCommandReply = 0;
inline constexpr std::uint8_t kRadioScanResults = 1;
inline constexpr std::uint8_t kRadioDeviceMessage = 2;
inline constexpr std::size_t kRadioMessageOffset = 2;  // [1, 2, device message]
inline constexpr std::size_t kCanSenderOffset = 1;     // [2, sender, receiver, kind, message]
inline constexpr std::size_t kCanReceiverOffset = 2;
inline constexpr std::size_t kCanKindOffset = 3;
inline constexpr std::size_t kCanMessageOffset = 4;
inline constexpr std::uint8_t kCanAdapterAddress = 0x1F;
inline constexpr std::uint8_t kCanReplyKind = 0x41;
inline constexpr std::size_t kRj45MessageOffset = 1;  // [3, device message]

// --- Device messages the link looks into -------------------------------------------------------

inline constexpr std::uint8_t kStatusMessageId = 0x18;
inline constexpr std::uint8_t kModuleReplyId = 0x12;  // stop-motion module: a reply
inline constexpr std::size_t kStatusMessageSize = 79;
inline constexpr std::size_t kAcknowledgeOffset = 65;
/// Asks a device for a status message: length 2, opcode 0xE6, sum 0x00E8.
inline constexpr std::array<std::uint8_t, 4> kStatusRequestMessage{0x02, 0xE6, 0x00, 0xE8};

// --- Replies -----------------------------------------------------------------------------------

inline constexpr std::size_t kReplyMinimumSize = 255;  // replies read as at least this many bytes
inline constexpr std::size_t kWirelessReplyStrip = 2;  // bytes before the device's message id
inline constexpr std::size_t kCanReplyStrip = 4;
inline constexpr std::size_t kRj45ReplyStrip = 1;

// --- Pairing replies ---------------------------------------------------------------------------

inline constexpr std::size_t kVersionsControllerOffset = 3;  // reply 00 03
inline constexpr std::size_t kVersionsRadioOffset = 5;
inline constexpr std::size_t kScanCountOffset = 2;  // both scan replies
inline constexpr std::size_t kScanEntriesOffset = 3;
inline constexpr std::size_t kScanEntryLimit = 17;
inline constexpr std::size_t kWirelessEntrySize = 20;
inline constexpr std::size_t kEntryModel = 0;
inline constexpr std::size_t kEntryRssi = 1;
inline constexpr std::size_t kEntryMac = 2;
inline constexpr std::size_t kEntrySetup = 8;
inline constexpr std::size_t kEntryControllerVersion = 9;  // bit 0: tilted
inline constexpr std::size_t kEntryRadioVersion = 10;
inline constexpr std::size_t kEntryGroupId = 18;
inline constexpr std::uint8_t kSetupLinkPairingBit = 0x20;
inline constexpr std::size_t kCanEntrySize = 3;             // model, version a, version b
inline constexpr std::size_t kWirelessPairStateOffset = 2;  // reply 01 00
inline constexpr std::size_t kWirelessPairErrorOffset = 4;
inline constexpr std::size_t kCanbusPairStateOffset = 2;  // reply 00 00
inline constexpr std::size_t kCanbusPairErrorOffset = 3;

// --- Radio firmware update ---------------------------------------------------------------------

inline constexpr std::size_t kRadioImageSize = 818'832;
inline constexpr std::uint8_t kChunkPadding = 0xFF;

static_assert(kAcknowledgeOffset < kStatusMessageSize);
static_assert(kScanEntriesOffset + kScanEntryLimit * kWirelessEntrySize > kReplyMinimumSize,
              "a full wireless scan reply is longer than the minimum reply size");

}  // namespace kinetra::link
