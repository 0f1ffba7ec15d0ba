// The VISCA-over-IP header, message table and reply builders. Pure; called by the VISCA thread.
#include "studio/visca_codec.hpp"

#include <algorithm>
#include <array>

#include <fmt/format.h>

namespace kinetra::studio::visca {
namespace {

// The first byte of a message: 1000 0xxx, x the camera address 1..7 (8 is the broadcast of the
// serial daisy chain, which a datagram to one camera never needs).
constexpr std::uint8_t kAddressHigh = 0x80;
constexpr std::uint8_t kLowestAddress = 1;
constexpr std::uint8_t kHighestAddress = 7;

// Pan-tiltDrive direction bytes.
constexpr std::uint8_t kLeftOrUp = 0x01;
constexpr std::uint8_t kRightOrDown = 0x02;
constexpr std::uint8_t kHold = 0x03;

// Focus drive: 00 stop, 02 far, 03 near; 2p far and 3p near at speed p.
constexpr std::uint8_t kFocusStop = 0x00;
constexpr std::uint8_t kFocusFar = 0x02;
constexpr std::uint8_t kFocusNear = 0x03;
constexpr std::uint8_t kFocusFarVariable = 0x20;
constexpr std::uint8_t kFocusNearVariable = 0x30;

constexpr std::uint8_t kPowerOn = 0x02;
constexpr std::uint8_t kPowerOff = 0x03;

// The bytes a message's reply starts with: z0, z being the camera address + 8.
constexpr std::uint8_t replyHead(std::uint8_t address) {
    return static_cast<std::uint8_t>((address + 8) << 4);
}

SyntaxError syntax(std::string reason) {
    return SyntaxError{std::move(reason)};
}

std::optional<std::uint8_t> speedOf(std::uint8_t speed, std::uint8_t top) {
    if (speed == 0) {
        return std::nullopt;
    }
    return std::min(speed, top);
}

std::optional<int> directionOf(std::uint8_t code, int first) {
    switch (code) {
        case kLeftOrUp:
            return first;
        case kRightOrDown:
            return -first;
        case kHold:
            return 0;
        default:
            return std::nullopt;
    }
}

// Four bytes 0p 0q 0r 0s from `at` on as one signed 16-bit value.
std::optional<std::int16_t> nibbles(ByteView m, std::size_t at) {
    std::uint16_t value = 0;
    for (std::size_t i = at; i < at + 4; ++i) {
        if (m[i] > 0x0F) {
            return std::nullopt;
        }
        value = static_cast<std::uint16_t>((value << 4) | m[i]);
    }
    return static_cast<std::int16_t>(value);
}

// 8x 01 06 01 VV WW XX YY FF.
Request panTiltDrive(ByteView m) {
    const auto pan = directionOf(m[6], -1);  // 01 is left
    const auto tilt = directionOf(m[7], 1);  // 01 is up
    if (!pan || !tilt) {
        return syntax(fmt::format("Pan-tiltDrive direction {0:02X} {1:02X}", m[6], m[7]));
    }
    PanTiltDrive drive{*pan, *tilt, 0, 0};
    if (*pan != 0) {
        const auto speed = speedOf(m[4], kTopPanSpeed);
        if (!speed) {
            return syntax("Pan-tiltDrive pan speed 0");
        }
        drive.panSpeed = *speed;
    }
    if (*tilt != 0) {
        const auto speed = speedOf(m[5], kTopTiltSpeed);
        if (!speed) {
            return syntax("Pan-tiltDrive tilt speed 0");
        }
        drive.tiltSpeed = *speed;
    }
    return drive;
}

// 8x 01 06 02|03 VV WW 0Y 0Y 0Y 0Y 0Z 0Z 0Z 0Z FF.
Request panTiltMove(ByteView m) {
    const auto panSpeed = speedOf(m[4], kTopPanSpeed);
    const auto tiltSpeed = speedOf(m[5], kTopTiltSpeed);
    const auto pan = nibbles(m, 6);
    const auto tilt = nibbles(m, 10);
    if (!panSpeed || !tiltSpeed) {
        return syntax("a pan-tilt position at speed 0");
    }
    if (!pan || !tilt) {
        return syntax("a pan-tilt position byte above 0F");
    }
    return PanTiltMove{m[3] == 0x03, *panSpeed, *tiltSpeed, *pan, *tilt};
}

Request panTiltHome(ByteView) {
    return PanTiltHome{};
}

// 8x 01 04 3F 00|01|02 pp FF.
Request memory(ByteView m) {
    if (m[4] > static_cast<std::uint8_t>(MemoryAction::recall)) {
        return syntax(fmt::format("Memory action {0:02X}", m[4]));
    }
    return Memory{static_cast<MemoryAction>(m[4]), m[5]};
}

// 8x 01 04 08 xx FF.
Request focus(ByteView m) {
    const std::uint8_t code = m[4];
    const std::uint8_t speed = code & 0x0F;
    if (code == kFocusStop) {
        return FocusDrive{0, std::nullopt};
    }
    if (code == kFocusFar || code == kFocusNear) {
        return FocusDrive{code == kFocusFar ? 1 : -1, std::nullopt};
    }
    const std::uint8_t kind = code & 0xF0;
    if ((kind == kFocusFarVariable || kind == kFocusNearVariable) && speed <= kTopFocusSpeed) {
        return FocusDrive{kind == kFocusFarVariable ? 1 : -1, speed};
    }
    return syntax(fmt::format("Focus {0:02X}", code));
}

// 8x 01 04 00 02|03 FF.
Request power(ByteView m) {
    if (m[4] != kPowerOn && m[4] != kPowerOff) {
        return syntax(fmt::format("Power {0:02X}", m[4]));
    }
    return Power{m[4] == kPowerOn};
}

Request zoom(ByteView) {
    return NotExecutable{"zoom: the gear has no zoom"};
}

Request focusDirect(ByteView) {
    return NotExecutable{"focus direct: the gear moves focus by steps only"};
}

template <InquiryKind kind>
Request inquiry(ByteView) {
    return Inquiry{kind};
}

// A message is known by the three bytes after its address and by its length.
struct Row {
    std::array<std::uint8_t, 3> code;
    std::size_t length;
    Request (*read)(ByteView message);
};

constexpr std::array<Row, 15> kRows{{
    {{0x01, 0x06, 0x01}, 9, panTiltDrive},
    {{0x01, 0x06, 0x02}, 15, panTiltMove},
    {{0x01, 0x06, 0x03}, 15, panTiltMove},
    {{0x01, 0x06, 0x04}, 5, panTiltHome},
    {{0x01, 0x04, 0x3F}, 7, memory},
    {{0x01, 0x04, 0x08}, 6, focus},
    {{0x01, 0x04, 0x48}, 9, focusDirect},
    {{0x01, 0x04, 0x07}, 6, zoom},
    {{0x01, 0x04, 0x47}, 9, zoom},
    {{0x01, 0x04, 0x00}, 6, power},
    {{0x09, 0x06, 0x12}, 5, inquiry<InquiryKind::panTiltPosition>},
    {{0x09, 0x04, 0x48}, 5, inquiry<InquiryKind::focusPosition>},
    {{0x09, 0x04, 0x47}, 5, inquiry<InquiryKind::zoomPosition>},
    {{0x09, 0x04, 0x00}, 5, inquiry<InquiryKind::power>},
    {{0x09, 0x00, 0x02}, 5, inquiry<InquiryKind::version>},
}};

std::string hexOf(ByteView bytes) {
    std::string text;
    for (const auto byte : bytes) {
        text += fmt::format("{0}{1:02X}", text.empty() ? "" : " ", byte);
    }
    return text;
}

}  // namespace

std::variant<Framed, Malformed> readDatagram(ByteView datagram) {
    if (datagram.size() < kHeaderSize) {
        return Malformed{0, fmt::format("a datagram of {0} bytes has no header", datagram.size())};
    }
    const Header header{core::readU16BE(datagram, 0), core::readU32BE(datagram, 4)};
    const std::size_t length = core::readU16BE(datagram, 2);
    const auto payload = datagram.subspan(kHeaderSize);
    if (length != payload.size()) {
        return Malformed{
            header.sequence,
            fmt::format("payload length {0} in a datagram carrying {1}", length, payload.size())};
    }
    if (header.type == kCommand || header.type == kInquiry) {
        return Framed{header, payload, false};
    }
    if (header.type == kControl && payload.size() == 1 && payload[0] == kReset) {
        return Framed{header, payload, true};
    }
    if (header.type == kControl) {
        return Malformed{header.sequence,
                         fmt::format("control payload {0} is not RESET", hexOf(payload))};
    }
    return Malformed{header.sequence,
                     fmt::format("payload type {0:04X} is not sent to a camera", header.type)};
}

Message readMessage(ByteView m) {
    Message message;
    if (m.size() < kShortestMessage || m.size() > kLongestMessage) {
        message.request = syntax(fmt::format("a message of {0} bytes", m.size()));
        return message;
    }
    const std::uint8_t address = m[0] & 0x0F;
    if ((m[0] & 0xF0) != kAddressHigh || address < kLowestAddress || address > kHighestAddress) {
        message.request = syntax(fmt::format("{0:02X} is not a camera address", m[0]));
        return message;
    }
    message.address = address;
    const auto end = std::find(m.begin(), m.end(), kTerminator);
    if (end != m.end() - 1) {
        message.request = syntax(fmt::format("{0} is not one message ending in FF", hexOf(m)));
        return message;
    }
    for (const auto& row : kRows) {
        if (m.size() >= 4 && std::equal(row.code.begin(), row.code.end(), m.begin() + 1)) {
            message.request = m.size() == row.length
                                  ? row.read(m)
                                  : syntax(fmt::format("{0} has the wrong length", hexOf(m)));
            return message;
        }
    }
    message.request = syntax(fmt::format("{0} is not a message this camera knows", hexOf(m)));
    return message;
}

Bytes datagram(std::uint16_t type, std::uint32_t sequence, ByteView payload) {
    Bytes out;
    out.reserve(kHeaderSize + payload.size());
    core::appendU16BE(out, type);
    core::appendU16BE(out, static_cast<std::uint16_t>(payload.size()));
    core::appendU32BE(out, sequence);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

Bytes acknowledge(std::uint32_t sequence, std::uint8_t address) {
    const std::array<std::uint8_t, 3> reply{replyHead(address), 0x41, kTerminator};
    return datagram(kReply, sequence, reply);
}

Bytes completion(std::uint32_t sequence, std::uint8_t address) {
    const std::array<std::uint8_t, 3> reply{replyHead(address), 0x51, kTerminator};
    return datagram(kReply, sequence, reply);
}

Bytes error(std::uint32_t sequence, std::uint8_t address, std::uint8_t socket, ErrorCode code) {
    const std::array<std::uint8_t, 4> reply{replyHead(address),
                                            static_cast<std::uint8_t>(0x60 | (socket & 0x0F)),
                                            static_cast<std::uint8_t>(code), kTerminator};
    return datagram(kReply, sequence, reply);
}

Bytes inquiryReply(std::uint32_t sequence, std::uint8_t address, ByteView data) {
    Bytes reply{replyHead(address), 0x50};
    reply.insert(reply.end(), data.begin(), data.end());
    reply.push_back(kTerminator);
    return datagram(kReply, sequence, reply);
}

Bytes resetAcknowledge(std::uint32_t sequence) {
    const std::array<std::uint8_t, 1> reply{kReset};
    return datagram(kControlReply, sequence, reply);
}

Bytes abnormal(std::uint32_t sequence, std::uint8_t what) {
    const std::array<std::uint8_t, 2> reply{kAbnormal, what};
    return datagram(kControlReply, sequence, reply);
}

void appendNibbles(Bytes& out, std::uint16_t value) {
    for (int shift = 12; shift >= 0; shift -= 4) {
        out.push_back(static_cast<std::uint8_t>((value >> shift) & 0x0F));
    }
}

}  // namespace kinetra::studio::visca
