// Link status and the pairing commands: the frames they send, the replies they wait for and the
// JSON they answer. Run by the link service thread, one command at a time.
#include "link/pairing_commands.hpp"

#include <array>
#include <stdexcept>
#include <utility>

#include "bus/envelope.hpp"
#include "link/adapter_commands.hpp"
#include "link/frame_codec.hpp"
#include "link/link_commands.hpp"

namespace kinetra::link {
namespace {

constexpr std::string_view kNoResponse = "could not get response";

std::string okText() {
    return bus::resultText(bus::kOk);
}

std::string dataText(json data) {
    return core::dumpCompact(bus::dataReply(std::move(data)));
}

// {"result":"ok"} when the last send was answered, otherwise the time-out text.
std::string okOrTimeout(const std::optional<Reply>& reply) {
    return bus::resultText(reply ? bus::kOk : kNoResponse);
}

// The adapter relays on one medium at a time; every pairing command first selects the medium
// it is about. Whether the adapter acknowledged the selection is not looked at.
void selectMedium(LinkSession& session, SelectLink link) {
    FrameEncoder encoder;
    frames::selectLink(encoder, link);
    session.sendAdapterCommand(encoder.encoded(), kSelectLinkReply);
}

// Builds one fixed frame and sends it with sendAdapterCommand, waiting for `header`.
template <typename Build>
std::optional<Reply> sendCommand(LinkSession& session, Build build, const ReplyHeader& header) {
    FrameEncoder encoder;
    build(encoder);
    return session.sendAdapterCommand(encoder.encoded(), header);
}

// A connecting command that was answered lets the next status message pair the link again.
void unblockIfAnswered(LinkSession& session, const std::optional<Reply>& reply) {
    if (reply) {
        session.flags().pairingBlocked = false;
    }
}

[[noreturn]] void malformed(const std::string& detail) {
    throw std::invalid_argument(detail);
}

// --- Radio -------------------------------------------------------------------------------------

CommandReply wirelessPairingScanStart(LinkSession& session, const json&) {
    selectMedium(session, SelectLink::wireless);
    // A scan still running from before is stopped first; the adapter starts a fresh one only
    // after that.
    sendCommand(session, frames::scanStop, kRadioReply);
    return okOrTimeout(sendCommand(session, frames::scanStart, kRadioReply));
}

CommandReply wirelessPairingScanStop(LinkSession& session, const json&) {
    selectMedium(session, SelectLink::wireless);
    // The whole frame goes through sendWithRetry: unpaired, the connection is none and the
    // frame is written as it is. The bare two bytes unframed would reach no adapter.
    FrameEncoder encoder;
    frames::scanStop(encoder);
    return okOrTimeout(session.sendWithRetry(encoder.encoded()));
}

CommandReply wirelessPairingScanResults(LinkSession& session, const json&) {
    selectMedium(session, SelectLink::wireless);
    const auto reply = sendCommand(session, frames::scanResults, kScanResultsReply);
    if (session.stopping()) {
        return std::nullopt;
    }
    if (!reply) {
        return bus::resultText(kNoResponse);
    }
    return dataText(wirelessScanJson(reply->message(), session.catalog()));
}

CommandReply wirelessPairingCreateBundle(LinkSession& session, const json& request) {
    const auto parsed = readCreateBundleRequest(request);
    switch (parsed.error) {
        case RequestError::none:
            break;
        case RequestError::deviceCountOutOfRange:
            return bus::resultText(kDeviceCountOutOfRange);
        case RequestError::macPatternNotCompatible:
        case RequestError::malformed:
            malformed(parsed.detail);
    }
    FrameEncoder encoder;
    if (!frames::createBundle(encoder, *parsed.value)) {
        return bus::resultText(kDeviceCountOutOfRange);
    }
    selectMedium(session, SelectLink::wireless);
    // selectMedium used an encoder of its own, so the createBundle frame is still whole here.
    const auto reply = session.sendAdapterCommand(encoder.encoded(), kRadioReply);
    unblockIfAnswered(session, reply);
    return okOrTimeout(reply);
}

CommandReply wirelessPairingAttachToBundle(LinkSession& session, const json& request) {
    const auto parsed = readAttachRequest(request);
    switch (parsed.error) {
        case RequestError::none:
            break;
        case RequestError::macPatternNotCompatible:
            return bus::resultText(kMacPatternNotCompatible);
        case RequestError::deviceCountOutOfRange:
        case RequestError::malformed:
            malformed(parsed.detail);
    }
    selectMedium(session, SelectLink::wireless);
    const Mac mac = *parsed.value;
    const auto reply = sendCommand(
        session, [&](FrameEncoder& encoder) { frames::attachToBundle(encoder, mac); }, kRadioReply);
    unblockIfAnswered(session, reply);
    return okOrTimeout(reply);
}

CommandReply wirelessPairingStatus(LinkSession& session, const json&) {
    selectMedium(session, SelectLink::wireless);
    const auto reply = sendCommand(session, frames::pairStatus, kRadioReply);
    if (!reply) {
        return bus::resultText(kNoResponse);
    }
    return dataText(wirelessPairStatusJson(reply->message()));
}

// --- RJ45 --------------------------------------------------------------------------------------

CommandReply link1PairingConnect(LinkSession& session, const json&) {
    selectMedium(session, SelectLink::rj45);
    // Asks the device behind the cable for a status message; that message pairs the link, so
    // there is nothing to wait for here.
    FrameEncoder encoder;
    if (frames::forwardRj45(encoder, kStatusRequestMessage)) {
        session.sendPlain(encoder.encoded());
    }
    session.flags().pairingBlocked = false;
    return okText();
}

// --- CAN bus -----------------------------------------------------------------------------------

CommandReply link2PairingScanResults(LinkSession& session, const json&) {
    selectMedium(session, SelectLink::canbus);
    const auto reply = sendCommand(session, frames::link2ScanResults, kLink2ScanResultsReply);
    if (session.stopping()) {
        return std::nullopt;
    }
    if (!reply) {
        return bus::resultText(kNoResponse);
    }
    return dataText(canScanJson(reply->message(), session.catalog()));
}

CommandReply link2PairingConnect(LinkSession& session, const json&) {
    selectMedium(session, SelectLink::canbus);
    const auto reply = sendCommand(session, frames::link2Connect, kLink2ConnectReply);
    unblockIfAnswered(session, reply);
    return okOrTimeout(reply);
}

CommandReply link2PairingStatus(LinkSession& session, const json&) {
    selectMedium(session, SelectLink::canbus);
    const auto reply = sendCommand(session, frames::link2PairStatus, kLink2PairStatusReply);
    if (!reply) {
        return bus::resultText(kNoResponse);
    }
    return dataText(canbusPairStatusJson(reply->message()));
}

struct NamedCommand {
    std::string_view name;
    PairingCommand command;
};

constexpr std::array<NamedCommand, 10> kPairingCommands{{
    {"wirelessPairingScanStart", wirelessPairingScanStart},
    {"wirelessPairingScanStop", wirelessPairingScanStop},
    {"wirelessPairingScanResults", wirelessPairingScanResults},
    {"wirelessPairingCreateBundle", wirelessPairingCreateBundle},
    {"wirelessPairingAttachToBundle", wirelessPairingAttachToBundle},
    {"wirelessPairingStatus", wirelessPairingStatus},
    {"link1PairingConnect", link1PairingConnect},
    {"link2PairingScanResults", link2PairingScanResults},
    {"link2PairingConnect", link2PairingConnect},
    {"link2PairingStatus", link2PairingStatus},
}};

}  // namespace

void leaveMedium(LinkSession& session) {
    if (session.linkType() != model::LinkType::linkAdapter) {
        return;
    }
    FrameEncoder encoder;
    if (session.connectionType() == model::LinkConnectionType::wireless) {
        session.setConnectionType(model::LinkConnectionType::none);
        // The radio answers its commands under 01 00; waiting for 00 00 instead would send the
        // disconnect three times and hold the unpairing up by three reply waits.
        frames::radioDisconnect(encoder);
        session.sendAdapterCommand(encoder.encoded(),
                                   radioReplyHeader(RadioCommand::radioDisconnect));
        frames::selectLink(encoder, SelectLink::none);
        session.sendAdapterCommand(encoder.encoded(), kSelectLinkReply);
    } else {
        session.setConnectionType(model::LinkConnectionType::none);
        frames::selectLink(encoder, SelectLink::none);
        session.sendWithRetry(encoder.encoded());
    }
}

std::string linkStatusFromDevice(LinkSession& session) {
    bool known = false;
    switch (session.linkType()) {
        case model::LinkType::linkAdapter:
            if (const auto reply = sendCommand(session, frames::linkVersions, kLinkVersionsReply)) {
                const auto flags = linkFirmwareFlags(decodeLinkVersions(reply->message()));
                // Gate first, record second: a client that reads "update required" in the link
                // list must find the pairing commands already refused.
                if (flags.firmwareUpdateRequired()) {
                    session.flags().firmwareUpdateRequired = true;
                }
                session.applyFirmwareFlags(flags);
                known = true;
            }
            break;
        case model::LinkType::stopMotionModule:
            // The module is the device; its firmware goes with the device's own update.
            session.flags().firmwareUpdateRequired = false;
            known = true;
            break;
    }
    // Set whatever the outcome, after the flags, so whoever sees it also sees them.
    session.flags().statusKnown = true;
    return known ? "true" : "false";
}

std::vector<std::string_view> pairingCommandNames() {
    std::vector<std::string_view> names;
    for (const auto& entry : kPairingCommands) {
        names.push_back(entry.name);
    }
    return names;
}

PairingCommand findPairingCommand(std::string_view name) {
    for (const auto& entry : kPairingCommands) {
        if (entry.name == name) {
            return entry.command;
        }
    }
    return nullptr;
}

}  // namespace kinetra::link
