// Device reply rules and the padded reply; run by whichever send operation is waiting.
#include "link/reply.hpp"

#include <algorithm>

namespace kinetra::link {

std::optional<DeviceReplyRule> deviceReplyRule(model::LinkType linkType,
                                               model::LinkConnectionType connection,
                                               std::uint8_t messageId, std::uint8_t deviceAddress) {
    using model::LinkConnectionType;
    if (linkType == model::LinkType::stopMotionModule) {
        return DeviceReplyRule{{{messageId}, 1}, 0};
    }
    if (linkType != model::LinkType::linkAdapter) {
        return std::nullopt;
    }
    switch (connection) {
        case LinkConnectionType::wireless:
            return DeviceReplyRule{
                {{static_cast<std::uint8_t>(MessageSource::radio), kRadioDeviceMessage, messageId},
                 kWirelessReplyStrip + 1},
                kWirelessReplyStrip};
        case LinkConnectionType::canbus:
            return DeviceReplyRule{{{static_cast<std::uint8_t>(MessageSource::canbus),
                                     deviceAddress, kCanAdapterAddress, kCanReplyKind, messageId},
                                    kCanReplyStrip + 1},
                                   kCanReplyStrip};
        case LinkConnectionType::rj45:
            return DeviceReplyRule{
                {{static_cast<std::uint8_t>(MessageSource::rj45), messageId}, kRj45ReplyStrip + 1},
                kRj45ReplyStrip};
        default:
            return std::nullopt;
    }
}

Reply::Reply(core::ByteView message)
    : bytes_(std::max(message.size(), kReplyMinimumSize), 0), received_(message.size()) {
    std::copy(message.begin(), message.end(), bytes_.begin());
}

std::optional<Reply> acceptDeviceReply(core::ByteView message, const DeviceReplyRule& rule) {
    if (!matchesHeader(message, rule.header)) {
        return std::nullopt;
    }
    return Reply{message.subspan(rule.strip)};
}

}  // namespace kinetra::link
