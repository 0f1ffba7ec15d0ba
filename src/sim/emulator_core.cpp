// The emulated link module's answers and timed steps. Runs on the emulator's thread.
#include "sim/emulator_core.hpp"

#include <algorithm>

#include "link/frame_codec.hpp"

namespace kinetra::sim {
namespace {

using link::AdapterCommand;
using link::RadioCommand;
using model::LinkConnectionType;

constexpr auto u8 = [](auto value) { return static_cast<std::uint8_t>(value); };
constexpr auto kAdapter = u8(link::MessageSource::adapter);
constexpr auto kRadio = u8(link::MessageSource::radio);
constexpr std::uint8_t kAdapterPairReply = 0;  // selectLink, link2PairStatus (and identify)
constexpr std::uint8_t kAdapterConnectReply = 1;
constexpr std::uint8_t kAdapterScanReply = 2;
constexpr std::uint8_t kAdapterVersionsReply = 3;
constexpr std::size_t kScanHeader = link::kScanEntriesOffset;
/// The most entries one scan reply frame holds.
constexpr std::size_t kMostWirelessEntries =
    (link::kMaxFramePayload - kScanHeader) / link::kWirelessEntrySize;
constexpr std::uint8_t kControllerVersionBits = 0x7F;  // the scan entry keeps 7 bits

LinkConnectionType mediumOf(link::SelectLink selected) {
    switch (selected) {
        case link::SelectLink::rj45:
            return LinkConnectionType::rj45;
        case link::SelectLink::canbus:
            return LinkConnectionType::canbus;
        case link::SelectLink::wireless:
            return LinkConnectionType::wireless;
        case link::SelectLink::none:
            break;
    }
    return LinkConnectionType::none;
}

// While the radio takes a firmware image it answers nothing but the update's own commands.
bool radioAnswersDuringUpdate(RadioCommand command) {
    return command == RadioCommand::updateBegin || command == RadioCommand::updateChunk ||
           command == RadioCommand::updateEnd || command == RadioCommand::radioReset;
}

}  // namespace

EmulatorCore::EmulatorCore(LinkConfig config, Clock::time_point powerOn)
    : config_(std::move(config)), bundle_(config_, powerOn) {}

bool EmulatorCore::acceptsUnframed() const {
    return config_.linkType == model::LinkType::stopMotionModule ||
           medium_ == LinkConnectionType::none;
}

bool EmulatorCore::streaming() const {
    if (config_.linkType == model::LinkType::stopMotionModule) {
        return awake_;
    }
    if (medium_ == LinkConnectionType::wireless && radio_.inProgress) {
        return false;  // the radio relays nothing while it takes an image
    }
    return medium_ != LinkConnectionType::none;
}

void EmulatorCore::receiveFrame(core::ByteView payload, Clock::time_point now,
                                std::vector<Received>& log) {
    const auto command = link::readHostCommand(payload);
    Received record;
    record.bytes.assign(payload.begin(), payload.end());
    if (!command) {
        log.push_back(std::move(record));
        return;
    }
    record.kind = ReceivedKind::hostCommand;
    record.command = command->command;
    record.radio = command->radio;
    // A stop-motion module is the device itself: it has no adapter to take these.
    record.delivered = config_.linkType == model::LinkType::linkAdapter;
    log.push_back(std::move(record));
    if (config_.linkType == model::LinkType::linkAdapter) {
        adapterCommand(*command, now, log);
    }
}

void EmulatorCore::receiveUnframed(core::ByteView message, Clock::time_point now,
                                   std::vector<Received>& log) {
    // A stop-motion module answers up the serial line; an adapter with no medium passes the
    // message to its devices, whose answers have no way back.
    deliver(message, LinkConnectionType::none, true, now, log);
}

void EmulatorCore::adapterCommand(const link::HostCommand& command, Clock::time_point now,
                                  std::vector<Received>& log) {
    switch (command.command) {
        case AdapterCommand::radioCommand:
            radioCommand(command, now, log);
            break;
        case AdapterCommand::forwardRj45:
            deliver(command.argument, LinkConnectionType::rj45, true, now, log);
            break;
        case AdapterCommand::forwardCanbus:
            deliver(command.argument, LinkConnectionType::canbus, true, now, log);
            break;
        case AdapterCommand::forwardCanbusUnacknowledged:
            deliver(command.argument, LinkConnectionType::canbus, false, now, log);
            break;
        case AdapterCommand::link2Connect:
            if (medium_ == LinkConnectionType::canbus) {
                unpair();
            }
            canbusState_ = link::CanbusPairState::pingReceived;
            canbusError_ = link::CanbusPairError::none;
            canbusPairingStart_ = now;
            reply({kAdapter, kAdapterConnectReply}, now);
            break;
        case AdapterCommand::link2PairStatus:
            reply({kAdapter, kAdapterPairReply, u8(canbusState_), u8(canbusError_)}, now);
            break;
        case AdapterCommand::link2ScanResults:
            reply(canbusScan(), now);
            break;
        case AdapterCommand::identify:
            ++identifyCount_;  // the adapter blinks its light
            reply({kAdapter, kAdapterPairReply}, now);
            break;
        case AdapterCommand::selectLink: {
            selected_ = static_cast<link::SelectLink>(command.argument[0]);
            // Switching to another link (or to none) drops the devices of the current one.
            if (medium_ != LinkConnectionType::none && mediumOf(selected_) != medium_) {
                unpair();
            }
            reply({kAdapter, kAdapterPairReply}, now);
            break;
        }
        case AdapterCommand::linkVersions:
            reply({kAdapter, kAdapterVersionsReply, 0, config_.controllerVersion, 0,
                   config_.radioVersion},
                  now);
            break;
    }
}

void EmulatorCore::radioCommand(const link::HostCommand& command, Clock::time_point now,
                                std::vector<Received>& log) {
    const auto which = *command.radio;
    if (radio_.inProgress && !radioAnswersDuringUpdate(which)) {
        return;
    }
    const core::Bytes ok{kRadio, link::kRadioCommandReply};
    switch (which) {
        case RadioCommand::pairStatus:
            reply({kRadio, link::kRadioCommandReply, u8(wirelessState_), 0, u8(wirelessError_)},
                  now);
            break;
        case RadioCommand::updateBegin:
            if (medium_ == LinkConnectionType::wireless) {
                unpair();
            }
            wirelessPairing_.reset();
            radio_.inProgress = true;
            ++radio_.begun;
            radio_.chunksReceived = radio_.chunksAcknowledged = 0;
            reply(ok, now);
            break;
        case RadioCommand::updateChunk: {
            if (!radio_.inProgress) {
                break;  // a chunk outside an update is ignored
            }
            const auto index = radio_.chunksReceived++;
            const auto stopAt = faults_.stopChunkAcknowledgementAt;
            if (!stopAt || index < *stopAt) {
                ++radio_.chunksAcknowledged;
                reply(ok, now);
            }
            break;
        }
        case RadioCommand::updateEnd:
            if (radio_.inProgress) {
                radio_.inProgress = false;
                ++radio_.ended;
                reply(ok, now);
            }
            break;
        case RadioCommand::radioReset:
            ++radio_.resets;
            radio_.inProgress = false;
            if (medium_ == LinkConnectionType::wireless) {
                unpair();
            }
            wirelessPairing_.reset();
            wirelessState_ = link::WirelessPairState::idle;
            wirelessError_ = link::WirelessPairError::none;
            scanning_ = scanned_ = false;
            reply(ok, now);
            break;
        case RadioCommand::scanStart:
            scanning_ = scanned_ = true;
            reply(ok, now);
            break;
        case RadioCommand::scanStop:
            scanning_ = false;
            reply(ok, now);
            break;
        case RadioCommand::scanResults:
            reply(wirelessScan(), now);
            break;
        case RadioCommand::attachToBundle:
            startWirelessPairing(attachToBundle(command.argument, now), now);
            reply(ok, now);
            break;
        case RadioCommand::createBundle:
            startWirelessPairing(createBundle(command.argument, now), now);
            reply(ok, now);
            break;
        case RadioCommand::forwardWireless:
            deliver(command.argument, LinkConnectionType::wireless, true, now, log);
            break;
        case RadioCommand::radioDisconnect:
            if (medium_ == LinkConnectionType::wireless) {
                unpair();
            }
            wirelessPairing_.reset();
            wirelessState_ = link::WirelessPairState::idle;
            wirelessError_ = link::WirelessPairError::none;
            reply(ok, now);
            break;
    }
}

void EmulatorCore::deliver(core::ByteView message, LinkConnectionType via, bool answers,
                           Clock::time_point now, std::vector<Received>& log) {
    Received record;
    record.kind = ReceivedKind::deviceMessage;
    record.bytes.assign(message.begin(), message.end());
    record.medium = via;
    const bool module = config_.linkType == model::LinkType::stopMotionModule;
    // The RJ45 cable needs no pairing: the first message a device takes over it connects it.
    const bool cableConnects =
        via == LinkConnectionType::rj45 && medium_ == LinkConnectionType::none;
    const bool radioBusy = via == LinkConnectionType::wireless && radio_.inProgress;
    record.delivered = module || (via == medium_ && !radioBusy) || cableConnects;
    if (!record.delivered) {
        const auto read = readDeviceMessage(message, bundle_.primary());
        record.opcode = read.opcode;
        record.check = read.check;
        log.push_back(std::move(record));
        return;
    }
    auto outcome = bundle_.handle(message, now);
    record.opcode = outcome.read.opcode;
    record.check = outcome.read.check;
    record.accepted = outcome.accepted;
    log.push_back(std::move(record));
    if (!outcome.accepted) {
        return;  // a bad sum, an unknown opcode or a command the devices refuse: no answer
    }
    ++accepted_;
    if (module) {
        awake_ = true;
    } else if (cableConnects) {
        pairOver(LinkConnectionType::rj45, {}, now);
    }
    const auto due = now + faults_.replyDelay;
    if (!loseReply()) {
        pendingAcknowledgements_.push_back(due);
    }
    if (outcome.answer && answers && !loseReply()) {
        if (auto payload = fromDevice(*outcome.answer)) {
            queue(std::move(*payload), due, OutgoingKind::answer);
        }
    }
}

EmulatorCore::WirelessPairing EmulatorCore::createBundle(core::ByteView body,
                                                         Clock::time_point now) const {
    // [count, forced master's model code, count MACs]
    WirelessPairing pairing{now + config_.timings.pairingTime, {}, std::nullopt};
    const std::size_t count = body[0];
    if (count == 0) {
        pairing.error = link::WirelessPairError::impossibleScenario;
        return pairing;
    }
    for (std::size_t i = 0; i < count; ++i) {
        const auto mac = body.subspan(2 + i * link::kMacSize, link::kMacSize);
        const auto found = std::find_if(
            config_.devices.begin(), config_.devices.end(), [&](const DeviceConfig& device) {
                return std::equal(mac.begin(), mac.end(), device.mac.begin());
            });
        if (found == config_.devices.end()) {
            pairing.error = link::WirelessPairError::deviceSearchProblem;
            return pairing;
        }
        pairing.members.push_back(static_cast<std::size_t>(found - config_.devices.begin()));
    }
    // The forced master leads the group when it is one of its devices.
    const auto master = model::deviceModelFromCode(body[1]);
    const auto leader =
        std::find_if(pairing.members.begin(), pairing.members.end(),
                     [&](std::size_t i) { return config_.devices[i].model == master; });
    std::rotate(pairing.members.begin(), leader,
                leader == pairing.members.end() ? leader : leader + 1);
    return pairing;
}

EmulatorCore::WirelessPairing EmulatorCore::attachToBundle(core::ByteView mac,
                                                           Clock::time_point now) const {
    WirelessPairing pairing{now + config_.timings.pairingTime, {}, std::nullopt};
    const auto found = std::find_if(
        config_.devices.begin(), config_.devices.end(),
        [&](const DeviceConfig& d) { return std::equal(mac.begin(), mac.end(), d.mac.begin()); });
    if (found == config_.devices.end()) {
        pairing.error = link::WirelessPairError::deviceSearchProblem;
        return pairing;
    }
    // Joining a device joins its whole radio group.
    for (std::size_t i = 0; i < config_.devices.size(); ++i) {
        if (config_.devices[i].groupId == found->groupId) {
            pairing.members.push_back(i);
        }
    }
    return pairing;
}

void EmulatorCore::startWirelessPairing(WirelessPairing pairing, Clock::time_point /*now*/) {
    if (medium_ == LinkConnectionType::wireless) {
        unpair();
    }
    wirelessState_ = link::WirelessPairState::connecting;
    wirelessError_ = link::WirelessPairError::none;
    wirelessPairing_ = std::move(pairing);
}

void EmulatorCore::pairOver(LinkConnectionType medium, const std::vector<std::size_t>& members,
                            Clock::time_point now) {
    if (medium_ != LinkConnectionType::none && medium_ != medium) {
        unpair();
    }
    medium_ = medium;
    bundle_.form(members);
    nextStatus_ = now;  // the devices start reporting at once
}

void EmulatorCore::unpair() {
    if (medium_ == LinkConnectionType::wireless &&
        wirelessState_ == link::WirelessPairState::connectionOk) {
        wirelessState_ = link::WirelessPairState::idle;
    }
    if (medium_ == LinkConnectionType::canbus &&
        canbusState_ == link::CanbusPairState::connectionOk) {
        canbusState_ = link::CanbusPairState::idle;
    }
    medium_ = LinkConnectionType::none;
    nextStatus_.reset();
}

void EmulatorCore::advance(Clock::time_point now) {
    bundle_.settle(now);
    if (wirelessPairing_ && now >= wirelessPairing_->due) {
        const auto error =
            faults_.wirelessPairError ? faults_.wirelessPairError : wirelessPairing_->error;
        if (error) {
            wirelessState_ = link::WirelessPairState::problem;
            wirelessError_ = *error;
        } else {
            pairOver(LinkConnectionType::wireless, wirelessPairing_->members, now);
            wirelessState_ = link::WirelessPairState::connectionOk;
        }
        wirelessPairing_.reset();
    }
    if (canbusPairingStart_) {
        const auto elapsed = now - *canbusPairingStart_;
        if (elapsed >= config_.timings.pairingTime) {
            if (faults_.canbusPairError) {
                canbusState_ = link::CanbusPairState::idle;
                canbusError_ = *faults_.canbusPairError;
            } else {
                pairOver(LinkConnectionType::canbus, {}, now);
                canbusState_ = link::CanbusPairState::connectionOk;
            }
            canbusPairingStart_.reset();
        } else if (elapsed >= config_.timings.pairingTime / 2) {
            canbusState_ = link::CanbusPairState::connecting;
        }
    }
    while (!pendingAcknowledgements_.empty() && pendingAcknowledgements_.front() <= now) {
        pendingAcknowledgements_.pop_front();
        ++acknowledge_;  // modulo 256: every value differs from the one before
        if (streaming()) {
            queueStatus(now);  // the host learns of the acknowledgement at once
        }
    }
    if (!streaming()) {
        nextStatus_.reset();
        return;
    }
    if (!nextStatus_) {
        nextStatus_ = now;
    }
    if (*nextStatus_ <= now) {
        queueStatus(now);
        // Keep the beat; after a late wake-up start a new one rather than catching up.
        const auto next = *nextStatus_ + config_.timings.statusInterval;
        nextStatus_ = next > now ? next : now + config_.timings.statusInterval;
    }
}

std::optional<Clock::time_point> EmulatorCore::nextDeadline(Clock::time_point now) const {
    std::optional<Clock::time_point> next;
    const auto consider = [&](std::optional<Clock::time_point> at) {
        if (at && (!next || *at < *next)) {
            next = at;
        }
    };
    if (!outbox_.empty()) {
        consider(outbox_.front().due);
    }
    if (!pendingAcknowledgements_.empty()) {
        consider(pendingAcknowledgements_.front());
    }
    if (wirelessPairing_) {
        consider(wirelessPairing_->due);
    }
    if (canbusPairingStart_) {
        const bool pinged = canbusState_ == link::CanbusPairState::pingReceived;
        consider(*canbusPairingStart_ +
                 (pinged ? config_.timings.pairingTime / 2 : config_.timings.pairingTime));
    }
    consider(bundle_.nextChange());
    if (streaming()) {
        consider(nextStatus_.value_or(now));
    } else if (bundle_.moving(now)) {
        consider(now + config_.timings.statusInterval);  // readers see the axes move
    }
    return next;
}

std::vector<Outgoing> EmulatorCore::takeDue(Clock::time_point now) {
    const auto end = std::find_if(outbox_.begin(), outbox_.end(),
                                  [&](const Outgoing& item) { return item.due > now; });
    std::vector<Outgoing> due(std::make_move_iterator(outbox_.begin()),
                              std::make_move_iterator(end));
    outbox_.erase(outbox_.begin(), end);
    return due;
}

void EmulatorCore::reply(core::Bytes payload, Clock::time_point now) {
    if (!loseReply()) {
        queue(std::move(payload), now + faults_.replyDelay, OutgoingKind::reply);
    }
}

void EmulatorCore::queue(core::Bytes payload, Clock::time_point due, OutgoingKind kind) {
    const auto at =
        std::upper_bound(outbox_.begin(), outbox_.end(), due,
                         [](Clock::time_point t, const Outgoing& item) { return t < item.due; });
    outbox_.insert(at, Outgoing{due, std::move(payload), kind});
}

void EmulatorCore::queueStatus(Clock::time_point now) {
    if (auto payload = fromDevice(bundle_.statusMessage(now, acknowledge_))) {
        queue(std::move(*payload), now, OutgoingKind::status);
    }
}

std::optional<core::Bytes> EmulatorCore::fromDevice(core::ByteView message) const {
    if (config_.linkType == model::LinkType::stopMotionModule) {
        return core::Bytes(message.begin(), message.end());
    }
    core::Bytes payload;
    const auto address = static_cast<std::uint8_t>(model::codeOf(bundle_.primary()));
    if (!link::appendFromDevice(payload, medium_, message, address)) {
        return std::nullopt;  // no medium: nothing carries it
    }
    return payload;
}

bool EmulatorCore::loseReply() {
    if (faults_.dropEveryNthReply == 0) {
        return false;
    }
    if (++repliesCounted_ % faults_.dropEveryNthReply != 0) {
        return false;
    }
    ++repliesDropped_;
    return true;
}

core::Bytes EmulatorCore::wirelessScan() const {
    // The radio lists what it heard since its scan started; before any scan it knows nobody.
    const auto count = scanned_ ? std::min(config_.devices.size(), kMostWirelessEntries) : 0;
    core::Bytes payload{kRadio, link::kRadioScanResults, u8(count)};
    for (std::size_t i = 0; i < count; ++i) {
        const auto& device = config_.devices[i];
        link::WirelessScanEntry entry;
        entry.model = u8(model::codeOf(device.model));
        entry.rssi = device.rssi;
        entry.mac = device.mac;
        entry.setup = u8(device.setup);
        entry.controllerByte =
            u8(((device.firmwareVersion & kControllerVersionBits) << 1) | (device.tilted ? 1 : 0));
        entry.radioVersion = device.radioVersion;
        entry.groupId = device.groupId;
        link::appendWirelessScanEntry(payload, entry);
    }
    return payload;
}

core::Bytes EmulatorCore::canbusScan() const {
    const auto count = std::min(config_.devices.size(), std::size_t{0xFF});
    core::Bytes payload{kAdapter, kAdapterScanReply, u8(count)};
    for (std::size_t i = 0; i < count; ++i) {
        const auto& device = config_.devices[i];
        link::appendCanScanEntry(payload,
                                 {u8(model::codeOf(device.model)), u8(device.firmwareVersion >> 8),
                                  u8(device.firmwareVersion & 0xFF)});
    }
    return payload;
}

LinkModuleState EmulatorCore::state(Clock::time_point now) const {
    LinkModuleState state;
    state.linkType = config_.linkType;
    state.pairedMedium = medium_;
    state.selectedLink = selected_;
    state.wirelessPairState = wirelessState_;
    state.wirelessPairError = wirelessError_;
    state.canbusPairState = canbusState_;
    state.canbusPairError = canbusError_;
    state.scanning = scanning_;
    state.radioUpdate = radio_;
    state.identifyCount = identifyCount_;
    state.acknowledge = acknowledge_;
    state.deviceMessagesAccepted = accepted_;
    state.repliesDropped = repliesDropped_;
    state.streaming = streaming();
    state.bundle = bundle_.state(now);
    return state;
}

}  // namespace kinetra::sim
