// Routing of inbound payloads by source, packet type and status; run by the reader thread.
#include "link/classify.hpp"

#include <cassert>

#include "link/protocol.hpp"

namespace kinetra::link {
namespace {

using model::LinkConnectionType;

Action pushResponse(core::ByteView bytes) {
    return {.kind = ActionKind::pushResponse, .bytes = bytes};
}

Action drop(DropReason reason) {
    return {.kind = ActionKind::drop, .reason = reason};
}

Routing logAndDrop(std::string_view text, DropReason reason) {
    Routing routing;
    routing.add({.kind = ActionKind::log, .text = text});
    routing.add(drop(reason));
    return routing;
}

Routing only(const Action& action) {
    Routing routing;
    routing.add(action);
    return routing;
}

bool mayPair(const LinkState& state, LinkConnectionType medium, bool module) {
    if (state.paired) {
        return false;
    }
    if (module) {
        return true;  // a stop-motion module is not held back by pairingBlocked
    }
    if (medium == LinkConnectionType::rj45) {
        // The RJ45 status that answers link1PairingConnect pairs only once versions are known.
        return !state.pairingBlocked && state.statusKnown;
    }
    return !state.pairingBlocked;
}

// A status message M from `offset` on: a changed acknowledge byte goes to the sender's mailbox, the
// first status over an unblocked medium pairs the link, and M goes to the status outlet. The
// radio's status is forwarded before the rest.
Routing statusHandling(core::ByteView payload, std::size_t offset, const LinkState& state,
                       LinkConnectionType medium, bool module) {
    const auto message = payload.subspan(offset);
    if (message.size() < kStatusMessageSize) {
        return only(drop(DropReason::statusTooShort));
    }
    const Action status{.kind = ActionKind::pushStatus, .bytes = message};
    Routing routing;
    if (medium == LinkConnectionType::wireless && !module) {
        routing.add(status);
    }
    const auto acknowledge = message[kAcknowledgeOffset];
    if (acknowledge != state.lastAcknowledge) {
        routing.add({.kind = ActionKind::acknowledge, .acknowledge = acknowledge});
    }
    if (mayPair(state, medium, module)) {
        routing.add({.kind = ActionKind::becomePaired, .medium = medium});
    }
    if (medium != LinkConnectionType::wireless || module) {
        routing.add(status);
    }
    return routing;
}

Routing fromAdapter(core::ByteView payload, const LinkState& state) {
    const auto whole = pushResponse(payload);
    if (payload.empty()) {
        return only(drop(DropReason::tooShort));
    }
    switch (static_cast<MessageSource>(payload[0])) {
        case MessageSource::adapter:
            if (payload.size() <= kPacketTypeOffset) {
                return only(drop(DropReason::tooShort));
            }
            if (payload[kPacketTypeOffset] > kLastAdapterPacket) {
                return logAndDrop(kUnknownPacketType, DropReason::unknownPacketType);
            }
            return only(whole);
        case MessageSource::radio: {
            if (payload.size() <= kPacketTypeOffset) {
                return only(drop(DropReason::tooShort));
            }
            const auto type = payload[kPacketTypeOffset];
            if (type == kRadioCommandReply || type == kRadioScanResults) {
                return only(whole);
            }
            if (type != kRadioDeviceMessage) {
                return logAndDrop(kUnknownPacketType, DropReason::unknownPacketType);
            }
            if (payload.size() <= kRadioMessageOffset) {
                return only(drop(DropReason::tooShort));
            }
            if (payload[kRadioMessageOffset] == kStatusMessageId) {
                return statusHandling(payload, kRadioMessageOffset, state,
                                      LinkConnectionType::wireless, false);
            }
            return only(whole);
        }
        case MessageSource::canbus:
            if (payload.size() <= kCanReceiverOffset) {
                return only(drop(DropReason::tooShort));
            }
            if (payload[kCanReceiverOffset] != kCanAdapterAddress) {
                return logAndDrop(kNotForAdapter, DropReason::notForAdapter);
            }
            if (payload.size() <= kCanMessageOffset) {
                return only(drop(DropReason::tooShort));
            }
            if (payload[kCanMessageOffset] == kStatusMessageId) {
                return statusHandling(payload, kCanMessageOffset, state, LinkConnectionType::canbus,
                                      false);
            }
            return only(whole);
        case MessageSource::rj45:
            if (payload.size() <= kRj45MessageOffset) {
                return only(drop(DropReason::tooShort));
            }
            if (payload[kRj45MessageOffset] == kStatusMessageId) {
                return statusHandling(payload, kRj45MessageOffset, state, LinkConnectionType::rj45,
                                      false);
            }
            return only(whole);
    }
    return logAndDrop(kUnknownSource, DropReason::unknownSource);
}

Routing fromModule(core::ByteView payload, const LinkState& state) {
    if (payload.empty()) {
        return only(drop(DropReason::tooShort));
    }
    if (payload[0] == kStatusMessageId) {
        return statusHandling(payload, 0, state, LinkConnectionType::none, true);
    }
    if (payload[0] == kModuleReplyId) {
        return only(pushResponse(payload));
    }
    return only(drop(DropReason::ignoredByModule));
}

}  // namespace

void Routing::add(const Action& action) {
    // No routing takes more than four steps (a radio status: forward, answer, keep, pair).
    assert(count_ < kMaxActions);
    if (count_ < kMaxActions) {
        actions_[count_++] = action;
    }
}

Routing classify(core::ByteView payload, const LinkState& state) {
    switch (state.linkType) {
        case model::LinkType::linkAdapter:
            return fromAdapter(payload, state);
        case model::LinkType::stopMotionModule:
            return fromModule(payload, state);
    }
    return logAndDrop(kUnknownLinkType, DropReason::unknownLinkType);
}

}  // namespace kinetra::link
