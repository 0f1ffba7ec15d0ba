// Routing of one inbound payload: the ordered actions its link must take. Pure; the link's
// reader thread calls it for every decoded frame and performs the actions in order.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/bytes.hpp"
#include "model/link_types.hpp"

namespace kinetra::link {

/// What classification needs to know of its link.
struct LinkState {
    model::LinkType linkType = model::LinkType::linkAdapter;
    std::uint8_t lastAcknowledge = 0;  ///< 0 when the link is created
    bool paired = false;
    bool pairingBlocked = false;
    bool statusKnown = false;
};

enum class ActionKind : std::uint8_t {
    pushResponse,  ///< push `bytes` to the response queue, without waiting
    pushStatus,    ///< push `bytes` (a status message) to the status outlet, without waiting
    acknowledge,   ///< the acknowledge byte changed to `acknowledge`: keep it as the link's
                   ///< last and hand the change, with its value, to the sender's mailbox
    becomePaired,  ///< set paired, call the pairing callback with true, record `medium`
    log,           ///< log `text` at info level, as it stands
    drop,          ///< nothing more is done with the payload; `reason` says why
};

enum class DropReason : std::uint8_t {
    none,
    tooShort,           ///< the payload ends before a byte its source is read at
    statusTooShort,     ///< a status message shorter than its 79 bytes
    unknownPacketType,  ///< logged
    notForAdapter,      ///< a CAN message for another receiver; logged
    unknownSource,      ///< logged
    unknownLinkType,    ///< logged
    ignoredByModule,    ///< a stop-motion module's message that is neither status nor reply
};

/// One step of a routing decision. Only the fields its kind names are meaningful.
struct Action {
    ActionKind kind = ActionKind::drop;
    core::ByteView bytes{};  ///< into the classified payload
    std::uint8_t acknowledge = 0;
    model::LinkConnectionType medium = model::LinkConnectionType::none;
    std::string_view text{};
    DropReason reason = DropReason::none;
};

/// The ordered actions for one payload. Spans in it point into the classified payload (or to
/// static text) and are valid as long as that payload is.
class Routing {
public:
    static constexpr std::size_t kMaxActions = 4;

    void add(const Action& action);
    const Action* begin() const { return actions_.data(); }
    const Action* end() const { return actions_.data() + count_; }
    std::size_t size() const { return count_; }
    const Action& operator[](std::size_t index) const { return actions_[index]; }

private:
    std::array<Action, kMaxActions> actions_{};
    std::size_t count_ = 0;
};

/// The four texts classification logs.
inline constexpr std::string_view kUnknownPacketType = "Unknown packet type.";
inline constexpr std::string_view kNotForAdapter = "Message is not to link adapter.";
inline constexpr std::string_view kUnknownSource = "Unknown message source type.";
inline constexpr std::string_view kUnknownLinkType = "Unknown link module type.";

/// Routes one complete inbound payload. Never reads past its end: a payload too short for the
/// bytes its source is read at, or a status message shorter than 79 bytes, is dropped.
Routing classify(core::ByteView payload, const LinkState& state);

}  // namespace kinetra::link
