// How a waiting sender recognises its reply among the inbound messages, and the reply it keeps.
// Pure; used by the send operations on whichever thread is waiting.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/bytes.hpp"
#include "link/protocol.hpp"
#include "model/link_types.hpp"

namespace kinetra::link {

/// The first bytes a reply must begin with: up to 5.
struct ReplyHeader {
    std::array<std::uint8_t, 5> bytes{};
    std::size_t size = 0;

    constexpr core::ByteView view() const { return {bytes.data(), size}; }
    friend constexpr bool operator==(const ReplyHeader&, const ReplyHeader&) = default;
};

inline constexpr ReplyHeader kSelectLinkReply{{0x00, 0x00}, 2};  // also link2PairStatus
inline constexpr ReplyHeader kLink2PairStatusReply = kSelectLinkReply;
inline constexpr ReplyHeader kLink2ConnectReply{{0x00, 0x01}, 2};
inline constexpr ReplyHeader kLink2ScanResultsReply{{0x00, 0x02}, 2};
inline constexpr ReplyHeader kLinkVersionsReply{{0x00, 0x03}, 2};
inline constexpr ReplyHeader kRadioReply{{0x01, 0x00}, 2};  // every radio command but one
inline constexpr ReplyHeader kScanResultsReply{{0x01, 0x01}, 2};

/// The header awaited after a radio command.
constexpr ReplyHeader radioReplyHeader(RadioCommand command) {
    return command == RadioCommand::scanResults ? kScanResultsReply : kRadioReply;
}

/// Whether `message` begins with `header` (a message shorter than the header does not).
constexpr bool matchesHeader(core::ByteView message, const ReplyHeader& header) {
    if (message.size() < header.size) {
        return false;
    }
    for (std::size_t i = 0; i < header.size; ++i) {
        if (message[i] != header.bytes[i]) {
            return false;
        }
    }
    return true;
}

/// How a device's reply is recognised on a link, and how many bytes come before its message id.
struct DeviceReplyRule {
    ReplyHeader header;
    std::size_t strip = 0;
    friend constexpr bool operator==(const DeviceReplyRule&, const DeviceReplyRule&) = default;
};

/// The rule for the reply with message id `messageId`: wireless 01 02 m (strip 2), CAN bus
/// 02 a 1F 41 m from device address a (strip 4), RJ45 03 m (strip 1); on a stop-motion module
/// the first byte is m (strip 0). Empty where no device reply can come: a link adapter whose
/// connection is none or outside the table, or an unknown link type.
std::optional<DeviceReplyRule> deviceReplyRule(model::LinkType linkType,
                                               model::LinkConnectionType connection,
                                               std::uint8_t messageId, std::uint8_t deviceAddress);

/// A reply as its sender keeps it: the message received, read as at least 255 bytes (bytes past
/// its end read as zero, so fixed offsets can always be read). Longer messages are kept whole.
class Reply {
public:
    explicit Reply(core::ByteView message);

    /// The number of bytes that actually came.
    std::size_t received() const { return received_; }
    /// The bytes that came, without padding.
    core::ByteView message() const { return {bytes_.data(), received_}; }
    /// The padded buffer: max(255, received()) bytes.
    core::ByteView padded() const { return bytes_; }
    /// Byte `index`: zero past the end of the message.
    std::uint8_t operator[](std::size_t index) const {
        return index < bytes_.size() ? bytes_[index] : 0;
    }

private:
    std::vector<std::uint8_t> bytes_;
    std::size_t received_ = 0;
};

/// The device reply in `message` if it matches `rule`, from its message id on.
std::optional<Reply> acceptDeviceReply(core::ByteView message, const DeviceReplyRule& rule);

}  // namespace kinetra::link
