// The VISCA-over-IP wire format: the 8-byte header in front of every datagram, the VISCA
// messages a controller sends a camera, and the replies a camera gives. Pure and table-driven;
// called by the VISCA thread. docs/visca.md describes the format in our own words.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "core/bytes.hpp"

namespace kinetra::studio::visca {

using core::Bytes;
using core::ByteView;

// The header: payload type (16 bits), payload length (16 bits), sequence number (32 bits), all
// big-endian.
inline constexpr std::size_t kHeaderSize = 8;
inline constexpr std::uint16_t kCommand = 0x0100;
inline constexpr std::uint16_t kInquiry = 0x0110;
inline constexpr std::uint16_t kReply = 0x0111;
inline constexpr std::uint16_t kControl = 0x0200;
inline constexpr std::uint16_t kControlReply = 0x0201;

// Control payloads: RESET (and its acknowledgement), and the two abnormality reports.
inline constexpr std::uint8_t kReset = 0x01;
inline constexpr std::uint8_t kAbnormal = 0x0F;
inline constexpr std::uint8_t kAbnormalSequence = 0x01;
inline constexpr std::uint8_t kAbnormalMessage = 0x02;

// A VISCA message: 8x (x the camera address 1..7), its bytes, FF; 3 to 16 bytes in all.
inline constexpr std::size_t kShortestMessage = 3;
inline constexpr std::size_t kLongestMessage = 16;
inline constexpr std::uint8_t kTerminator = 0xFF;

// The highest speeds of Pan-tiltDrive and the position commands.
inline constexpr std::uint8_t kTopPanSpeed = 0x18;
inline constexpr std::uint8_t kTopTiltSpeed = 0x17;
// The highest speed of the variable focus drive.
inline constexpr std::uint8_t kTopFocusSpeed = 7;

/// VISCA error codes (the byte after 6y).
enum class ErrorCode : std::uint8_t {
    syntax = 0x02,
    bufferFull = 0x03,
    canceled = 0x04,
    notExecutable = 0x41,
};

/// What the header of a datagram says.
struct Header {
    std::uint16_t type = 0;
    std::uint32_t sequence = 0;
};

/// A datagram whose header is sound: a VISCA command or inquiry payload, or RESET.
struct Framed {
    Header header;
    ByteView payload;  // into the datagram
    bool reset = false;
};
/// A datagram that is not one: too short for a header, a length that disagrees with its size,
/// a payload type a camera does not take, a control payload other than RESET. `sequence` is
/// the header's when it was there to read, else 0.
struct Malformed {
    std::uint32_t sequence = 0;
    std::string reason;
};
std::variant<Framed, Malformed> readDatagram(ByteView datagram);

// The messages understood. Directions: pan +1 right, -1 left; tilt +1 up, -1 down; 0 holds.
struct PanTiltDrive {
    int panDirection = 0;
    int tiltDirection = 0;
    std::uint8_t panSpeed = 0;   // 1..kTopPanSpeed for a moving axis
    std::uint8_t tiltSpeed = 0;  // 1..kTopTiltSpeed
};
struct PanTiltMove {
    bool relative = false;
    std::uint8_t panSpeed = 0;
    std::uint8_t tiltSpeed = 0;
    std::int16_t pan = 0;  // position units
    std::int16_t tilt = 0;
};
struct PanTiltHome {};
enum class MemoryAction : std::uint8_t { reset = 0, set = 1, recall = 2 };
struct Memory {
    MemoryAction action = MemoryAction::recall;
    std::uint8_t slot = 0;
};
struct FocusDrive {
    int direction = 0;                  // +1 far, -1 near, 0 stop
    std::optional<std::uint8_t> speed;  // 0..kTopFocusSpeed; none: the standard speed
};
struct Power {
    bool on = true;
};
/// A message cameras know that this gear cannot carry out (zoom, direct focus).
struct NotExecutable {
    std::string what;
};
enum class InquiryKind : std::uint8_t {
    panTiltPosition,
    focusPosition,
    zoomPosition,
    power,
    version
};
struct Inquiry {
    InquiryKind kind = InquiryKind::power;
};
/// Not a message we understand, or one with a parameter out of its range.
struct SyntaxError {
    std::string reason;
};
using Request = std::variant<PanTiltDrive, PanTiltMove, PanTiltHome, Memory, FocusDrive, Power,
                             NotExecutable, Inquiry, SyntaxError>;

struct Message {
    std::uint8_t address = 1;  // the camera address the controller wrote (1 when unreadable)
    Request request;
};
/// Reads one VISCA message. A payload that is not exactly one (no terminating FF, an FF before
/// the end, shorter than 3 or longer than 16 bytes) is a SyntaxError. Speeds above their top
/// are taken as the top; a moving axis at speed 0 is a SyntaxError.
Message readMessage(ByteView payload);

/// A whole datagram: header of `type` with `sequence`, then `payload`.
Bytes datagram(std::uint16_t type, std::uint32_t sequence, ByteView payload);
/// The camera's reply datagrams (type 0111) to a message sent to `address`.
Bytes acknowledge(std::uint32_t sequence, std::uint8_t address);
Bytes completion(std::uint32_t sequence, std::uint8_t address);
/// z0 6y ee FF; `socket` 0 for messages that hold none (syntax errors, inquiries), else 1.
Bytes error(std::uint32_t sequence, std::uint8_t address, std::uint8_t socket, ErrorCode code);
/// z0 50 <data> FF.
Bytes inquiryReply(std::uint32_t sequence, std::uint8_t address, ByteView data);
/// The control replies: RESET acknowledged, and the two abnormality reports.
Bytes resetAcknowledge(std::uint32_t sequence);
Bytes abnormal(std::uint32_t sequence, std::uint8_t what);

/// A 16-bit value as the four bytes 0p 0q 0r 0s that carry it (most significant first).
void appendNibbles(Bytes& out, std::uint16_t value);

}  // namespace kinetra::studio::visca
