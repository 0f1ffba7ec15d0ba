// The link module's answers, pairing sequences, radio update and acknowledgements, stepped
// through time exactly as the emulator's thread steps it, and read with the server's codecs.
#include "sim/emulator_core.hpp"

#include <algorithm>

#include <gtest/gtest.h>

#include "bundle/device_messages.hpp"
#include "bundle/status_decoder.hpp"
#include "link/classify.hpp"
#include "link/pairing_codec.hpp"
#include "link/radio_image.hpp"
#include "link/reply.hpp"

namespace kinetra::sim {
namespace {

using namespace std::chrono_literals;
using link::RadioCommand;
using model::LinkConnectionType;
namespace frames = link::frames;

core::Bytes payloadOf(void (*build)(link::FrameEncoder&)) {
    link::FrameEncoder encoder;
    build(encoder);
    link::FrameDecoder decoder;
    core::Bytes payload;
    decoder.feed(encoder.encoded(), [&](core::ByteView p) { payload.assign(p.begin(), p.end()); });
    return payload;
}

core::Bytes radio(RadioCommand command, core::ByteView argument = {}) {
    core::Bytes payload{0x11, static_cast<std::uint8_t>(command)};
    payload.insert(payload.end(), argument.begin(), argument.end());
    return payload;
}

core::Bytes forward(std::uint8_t command, core::ByteView message) {
    core::Bytes payload{command};
    payload.insert(payload.end(), message.begin(), message.end());
    return payload;
}

class Core : public ::testing::Test {
protected:
    explicit Core(LinkConfig config = {}) : core_(configure(std::move(config)), t0_) {}

    static LinkConfig configure(LinkConfig config) {
        config.timings.pairingTime = 1s;
        return config;
    }

    /// Runs the clock to `until`, turning at every deadline the core names, as its thread does.
    void runUntil(Clock::time_point until) {
        for (;;) {
            core_.advance(now_);
            for (auto& item : core_.takeDue(now_)) {
                out_.push_back(std::move(item));
            }
            const auto next = core_.nextDeadline(now_);
            ASSERT_TRUE(!next || *next > now_) << "a deadline that never passes";
            if (!next || *next > until) {
                break;
            }
            now_ = *next;
        }
        now_ = until;
        core_.advance(now_);
        for (auto& item : core_.takeDue(now_)) {
            out_.push_back(std::move(item));
        }
    }
    void runFor(Clock::duration duration) { runUntil(now_ + duration); }

    void frame(const core::Bytes& payload) {
        core_.receiveFrame(payload, now_, log_);
        runFor(0s);
    }
    /// Sends `payload` and returns the one reply it brought.
    core::Bytes exchange(const core::Bytes& payload) {
        out_.clear();
        frame(payload);
        EXPECT_EQ(replies().size(), 1u);
        return replies().empty() ? core::Bytes{} : replies().front();
    }
    std::vector<core::Bytes> ofKind(OutgoingKind kind) const {
        std::vector<core::Bytes> found;
        for (const auto& item : out_) {
            if (item.kind == kind) {
                found.push_back(item.payload);
            }
        }
        return found;
    }
    std::vector<core::Bytes> replies() const { return ofKind(OutgoingKind::reply); }
    std::vector<core::Bytes> statuses() const { return ofKind(OutgoingKind::status); }
    LinkModuleState state() const { return core_.state(now_); }

    void pairWireless() {
        exchange(radio(RadioCommand::attachToBundle, core_.config().devices[0].mac));
        runFor(1s);
        ASSERT_EQ(state().pairedMedium, LinkConnectionType::wireless);
    }

    Clock::time_point t0_ = Clock::time_point{} + 1h;
    Clock::time_point now_ = t0_;
    EmulatorCore core_;
    std::vector<Received> log_;
    std::vector<Outgoing> out_;
};

TEST_F(Core, AnswersTheAdapterCommandsWithTheirReplyHeaders) {
    const auto versions = exchange(payloadOf(frames::linkVersions));
    EXPECT_TRUE(link::matchesHeader(versions, link::kLinkVersionsReply));
    const auto decoded = link::decodeLinkVersions(versions);
    EXPECT_EQ(decoded.controller, 4);
    EXPECT_EQ(decoded.radio, 1);
    EXPECT_FALSE(link::linkFirmwareFlags(decoded).firmwareUpdateRequired());

    EXPECT_TRUE(link::matchesHeader(exchange({0x1A, 0x03}), link::kSelectLinkReply));
    EXPECT_EQ(state().selectedLink, link::SelectLink::wireless);
    exchange(payloadOf(frames::identify));
    EXPECT_EQ(state().identifyCount, 1u);
    EXPECT_EQ(exchange(payloadOf(frames::link2PairStatus)), (core::Bytes{0, 0, 0, 0}));

    // The radio knows nobody until it has scanned.
    EXPECT_TRUE(link::decodeWirelessScan(exchange(radio(RadioCommand::scanResults))).empty());
    EXPECT_TRUE(link::matchesHeader(exchange(radio(RadioCommand::scanStart)), link::kRadioReply));
    EXPECT_TRUE(state().scanning);
    const auto scan = exchange(radio(RadioCommand::scanResults));
    EXPECT_TRUE(link::matchesHeader(scan, link::kScanResultsReply));
    const auto json = link::wirelessScanJson(scan, model::FirmwareCatalog());
    ASSERT_EQ(json.size(), 2u);
    EXPECT_EQ(json[0]["type"], "turretAlpha2");
    EXPECT_EQ(json[0]["mac"], "24:6F:28:1A:00:01");
    EXPECT_EQ(json[0]["setup"], "panTilt");
    EXPECT_EQ(json[0]["rssi"], -48.0);
    EXPECT_EQ(json[0]["groupId"], 0x2A17);
    EXPECT_EQ(json[0]["isDeviceFirmwareUpdateAvailable"],
              false);  // 102 is past the catalogue's 101
    EXPECT_EQ(json[1]["type"], "glideTrack");
    EXPECT_EQ(link::decodeWirelessScan(scan)[0].controllerByte >> 1, 102);

    const auto can = exchange(payloadOf(frames::link2ScanResults));
    EXPECT_TRUE(link::matchesHeader(can, link::kLink2ScanResultsReply));
    const auto entries = link::decodeCanScan(can);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].model, 16);
    EXPECT_EQ(entries[0].versionMajor, 0);
    EXPECT_EQ(entries[0].versionMinor, 102);

    // What it could not read is recorded and not answered.
    out_.clear();
    frame({0x1A, 0x09});
    EXPECT_TRUE(replies().empty());
    EXPECT_EQ(log_.back().kind, ReceivedKind::unreadable);
}

TEST_F(Core, WirelessPairingConnectsAfterTheRadioFoundTheGroup) {
    const auto pairState = [&] {
        return link::wirelessPairStatusJson(exchange(radio(RadioCommand::pairStatus)));
    };
    EXPECT_EQ(pairState()["wirelessPairState"], "idle");
    exchange(radio(RadioCommand::attachToBundle, core_.config().devices[1].mac));
    runFor(500ms);
    EXPECT_EQ(pairState()["wirelessPairState"], "connecting");
    EXPECT_TRUE(statuses().empty());
    runFor(500ms);
    EXPECT_EQ(pairState(),
              (json{{"lastPairError", "none"}, {"wirelessPairState", "connectionOk"}}));

    // Attaching to the slider joined its whole group; the server pairs with the first status.
    out_.clear();
    runFor(1s);
    const auto received = statuses();
    EXPECT_GE(received.size(), 19u);
    EXPECT_LE(received.size(), 21u);
    link::LinkState host;
    const auto routing = link::classify(received.front(), host);
    ASSERT_EQ(routing.size(), 2u);
    EXPECT_EQ(routing[0].kind, link::ActionKind::pushStatus);
    EXPECT_EQ(routing[1].kind, link::ActionKind::becomePaired);
    EXPECT_EQ(routing[1].medium, LinkConnectionType::wireless);
    const auto status = bundle::decodeStatus(routing[0].bytes);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(status->deviceCount, 2);

    // Disconnecting the radio ends the reports.
    exchange(radio(RadioCommand::radioDisconnect));
    out_.clear();
    runFor(1s);
    EXPECT_TRUE(statuses().empty());
    EXPECT_EQ(state().pairedMedium, LinkConnectionType::none);
    EXPECT_EQ(state().wirelessPairState, link::WirelessPairState::idle);
}

TEST_F(Core, CreatedGroupsLeadWithTheirForcedMasterOrFailPlausibly) {
    const auto& devices = core_.config().devices;
    link::CreateBundleRequest request;
    request.deviceCount = 2;
    request.forcedMasterDevice = model::codeOf(model::DeviceModel::glideTrack);
    request.macs[0] = devices[0].mac;
    request.macs[1] = devices[1].mac;
    link::FrameEncoder encoder;
    ASSERT_TRUE(link::frames::createBundle(encoder, request));
    link::FrameDecoder decoder;
    core::Bytes payload;
    decoder.feed(encoder.encoded(), [&](core::ByteView p) { payload.assign(p.begin(), p.end()); });
    exchange(payload);
    runFor(1s);
    EXPECT_EQ(state().bundle.devices,
              (std::vector{model::DeviceModel::glideTrack, model::DeviceModel::turretAlpha2}));

    // A MAC nobody answers to.
    const link::Mac stranger{1, 2, 3, 4, 5, 6};
    exchange(radio(RadioCommand::attachToBundle, stranger));
    runFor(1s);
    EXPECT_EQ(state().wirelessPairState, link::WirelessPairState::problem);
    EXPECT_EQ(state().wirelessPairError, link::WirelessPairError::deviceSearchProblem);
    EXPECT_EQ(state().pairedMedium, LinkConnectionType::none);

    // The fault switch, read when the pairing completes.
    exchange(radio(RadioCommand::attachToBundle, devices[0].mac));
    auto faults = core_.faults();
    faults.wirelessPairError = link::WirelessPairError::wifiChannelMismatch;
    core_.setFaults(faults);
    runFor(1s);
    EXPECT_EQ(link::wirelessPairStatusJson(exchange(radio(RadioCommand::pairStatus))),
              (json{{"lastPairError", "wifiChannelMismatch"}, {"wirelessPairState", "problem"}}));
}

TEST_F(Core, CanbusPairingPingsThenConnects) {
    const auto pairState = [&] {
        return link::canbusPairStatusJson(
            exchange(payloadOf(frames::link2PairStatus)))["canbusPairState"];
    };
    EXPECT_TRUE(
        link::matchesHeader(exchange(payloadOf(frames::link2Connect)), link::kLink2ConnectReply));
    EXPECT_EQ(pairState(), "pingReceived");
    runFor(500ms);
    EXPECT_EQ(pairState(), "connecting");
    runFor(500ms);
    EXPECT_EQ(pairState(), "connectionOk");
    EXPECT_EQ(state().pairedMedium, LinkConnectionType::canbus);
    // CAN bus reports come from the primary's address to the adapter, as replies.
    out_.clear();
    runFor(100ms);
    const auto reports = statuses();
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(core::Bytes(reports[0].begin(), reports[0].begin() + 5),
              (core::Bytes{2, 16, 0x1F, 0x41, 0x18}));

    // A device message that asks for an answer gets it from the same address.
    out_.clear();
    frame(forward(0x18, bundle::numericLimitsRequestMessage()));
    const auto rule =
        link::deviceReplyRule(model::LinkType::linkAdapter, LinkConnectionType::canbus, 26, 16);
    const auto answers = ofKind(OutgoingKind::answer);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_TRUE(link::acceptDeviceReply(answers[0], *rule).has_value());
    // Sent unacknowledged, the devices act but send no answer.
    out_.clear();
    frame(forward(0x1B, bundle::numericLimitsRequestMessage()));
    EXPECT_TRUE(ofKind(OutgoingKind::answer).empty());
    EXPECT_TRUE(log_.back().accepted);

    auto faults = core_.faults();
    faults.canbusPairError = link::CanbusPairError::cantAppendDevice;
    core_.setFaults(faults);
    exchange(payloadOf(frames::link2Connect));
    runFor(1s);
    EXPECT_EQ(link::canbusPairStatusJson(exchange(payloadOf(frames::link2PairStatus))),
              (json{{"canbusPairState", "idle"}, {"lastPairError", "cantAppendDevice"}}));
    EXPECT_EQ(state().pairedMedium, LinkConnectionType::none);
}

TEST_F(Core, Rj45ConnectsWithTheFirstMessageItCarries) {
    exchange({0x1A, 0x01});
    out_.clear();
    frame(forward(0x12, bundle::statusRequestMessage()));
    EXPECT_EQ(state().pairedMedium, LinkConnectionType::rj45);
    ASSERT_FALSE(statuses().empty());
    EXPECT_EQ(statuses()[0][0], 3);
    EXPECT_EQ(statuses()[0][1], 0x18);
    // Selecting no link drops the cable's devices.
    exchange({0x1A, 0x00});
    out_.clear();
    runFor(500ms);
    EXPECT_TRUE(statuses().empty());
    // A message for a medium that is not connected reaches nobody.
    frame(forward(0x18, bundle::statusRequestMessage()));
    EXPECT_FALSE(log_.back().delivered);
    EXPECT_EQ(state().deviceMessagesAccepted, 1u);
}

TEST_F(Core, RadioUpdateAcknowledgesAndCountsEveryChunk) {
    pairWireless();
    const auto image = link::generateRadioFirmwareImage();
    const link::RadioImageChunks chunks(image);
    const auto sendChunk = [&](std::size_t i) {
        const auto chunk = chunks.chunk(i);
        frame(radio(RadioCommand::updateChunk, core::ByteView(chunk.data(), chunk.size())));
    };
    exchange(radio(RadioCommand::radioReset));
    EXPECT_EQ(state().pairedMedium, LinkConnectionType::none);  // the reset dropped the group
    out_.clear();
    sendChunk(0);
    EXPECT_TRUE(replies().empty());  // no update begun: the chunk is ignored
    exchange(radio(RadioCommand::updateBegin));
    out_.clear();
    for (std::size_t i = 0; i < chunks.count(); ++i) {
        sendChunk(i);
    }
    const auto acknowledged = replies();
    EXPECT_EQ(acknowledged.size(), 819u);
    EXPECT_TRUE(std::all_of(acknowledged.begin(), acknowledged.end(), [](const core::Bytes& r) {
        return link::matchesHeader(r, link::kRadioReply);
    }));
    EXPECT_EQ(state().radioUpdate.chunksAcknowledged, 819u);
    out_.clear();
    frame(radio(RadioCommand::scanStart));  // the radio is busy taking the image
    EXPECT_TRUE(replies().empty());
    exchange(radio(RadioCommand::updateEnd));
    exchange(radio(RadioCommand::radioReset));
    const auto update = state().radioUpdate;
    EXPECT_FALSE(update.inProgress);
    EXPECT_EQ(update.begun, 1u);
    EXPECT_EQ(update.ended, 1u);
    EXPECT_EQ(update.resets, 2u);
    EXPECT_EQ(update.chunksReceived, 819u);

    // A radio that stops acknowledging at chunk 5 still counts what it receives.
    auto faults = core_.faults();
    faults.stopChunkAcknowledgementAt = 5;
    core_.setFaults(faults);
    exchange(radio(RadioCommand::updateBegin));
    out_.clear();
    for (std::size_t i = 0; i < 8; ++i) {
        sendChunk(i);
    }
    EXPECT_EQ(replies().size(), 5u);
    EXPECT_EQ(state().radioUpdate.chunksReceived, 8u);
    EXPECT_EQ(state().radioUpdate.chunksAcknowledged, 5u);
}

TEST_F(Core, AcknowledgeByteChangesOncePerAcceptedMessageWithAPromptStatus) {
    exchange({0x1A, 0x01});
    frame(forward(0x12, bundle::statusRequestMessage()));
    EXPECT_EQ(state().acknowledge, 1);
    const auto store =
        std::get<core::Bytes>(bundle::keyposeStoreCurrentPoseMessage(core_.primary(), 1, 5));
    auto broken = store;
    broken.back() ^= 0xFF;
    const core::Bytes unknown{0x02, 0x77, 0x00, 0x79};
    out_.clear();
    frame(forward(0x12, broken));
    frame(forward(0x12, unknown));
    EXPECT_EQ(state().acknowledge, 1);
    EXPECT_TRUE(statuses().empty());
    frame(forward(0x12, store));
    ASSERT_EQ(statuses().size(), 1u);  // at once, not at the next beat
    EXPECT_EQ(statuses()[0][1 + 65], 2);
    EXPECT_EQ(state().deviceMessagesAccepted, 2u);
    // Each forwarded message is recorded after the command that carried it.
    EXPECT_EQ(log_[log_.size() - 5].check, MessageCheck::badChecksum);
    EXPECT_EQ(log_[log_.size() - 3].check, MessageCheck::unknownOpcode);
    EXPECT_TRUE(log_.back().accepted);
}

TEST_F(Core, RepliesCanBeLostOrHeldBack) {
    auto faults = core_.faults();
    faults.dropEveryNthReply = 2;
    core_.setFaults(faults);
    out_.clear();
    for (int i = 0; i < 4; ++i) {
        frame(payloadOf(frames::linkVersions));
    }
    EXPECT_EQ(replies().size(), 2u);
    EXPECT_EQ(state().repliesDropped, 2u);
    // A lost acknowledgement: the message took effect, the byte stays.
    exchange({0x1A, 0x01});                                // the fifth reply: kept
    frame(forward(0x12, bundle::statusRequestMessage()));  // the sixth: lost
    EXPECT_EQ(state().acknowledge, 0);
    EXPECT_EQ(state().deviceMessagesAccepted, 1u);

    faults.dropEveryNthReply = 0;
    faults.replyDelay = 200ms;
    core_.setFaults(faults);
    out_.clear();
    frame(payloadOf(frames::linkVersions));
    frame(forward(0x12, bundle::statusRequestMessage()));
    runFor(150ms);
    EXPECT_TRUE(replies().empty());
    EXPECT_EQ(state().acknowledge, 0);
    runFor(50ms);
    EXPECT_EQ(replies().size(), 1u);
    EXPECT_EQ(state().acknowledge, 1);
}

class ModuleCore : public Core {
protected:
    ModuleCore() : Core(defaultModuleConfig()) {}
};

TEST_F(ModuleCore, StopMotionModuleReportsOnceSpokenToAndAnswersUnframed) {
    runFor(1s);
    EXPECT_TRUE(out_.empty());
    EXPECT_TRUE(core_.acceptsUnframed());
    core_.receiveUnframed(bundle::statusRequestMessage(), now_, log_);
    runFor(0s);
    ASSERT_FALSE(statuses().empty());
    link::LinkState host;
    host.linkType = model::LinkType::stopMotionModule;
    const auto first = statuses().front();  // the routing points into it
    const auto routing = link::classify(first, host);
    EXPECT_TRUE(std::any_of(routing.begin(), routing.end(), [](const link::Action& action) {
        return action.kind == link::ActionKind::acknowledge && action.acknowledge == 1;
    }));
    // Adapter commands mean nothing to it.
    out_.clear();
    frame(payloadOf(frames::linkVersions));
    EXPECT_TRUE(replies().empty());
    EXPECT_FALSE(log_.back().delivered);
    // Its answers travel as they are, the key-pose read answer with the id the server takes.
    core_.receiveUnframed(
        std::get<core::Bytes>(bundle::keyposeReadRequestMessage(core_.primary(), 0)), now_, log_);
    runFor(0s);
    const auto answers = ofKind(OutgoingKind::answer);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0][0], link::kModuleReplyId);
    out_.clear();
    runFor(1s);
    EXPECT_GE(statuses().size(), 19u);
}

}  // namespace
}  // namespace kinetra::sim
