// The link module's answers, pairing sequences, radio update and acknowledgements, stepped
// through time exactly as the emulator's thread steps it, and read with the server's codecs.
#include "sim/emulator_core.hpp"

#include <algorithm>

#include <fmt/format.h>

#include <gtest/gtest.h>

#include "bundle/status_decoder.hpp"
#include "link/adapter_commands.hpp"
#include "link/pairing_codec.hpp"
#include "link/radio_image.hpp"
#include "test_host.hpp"

namespace kinetra::sim {
namespace {

using namespace std::chrono_literals;
using namespace link::frames;
using testing::payloadOf;
using Medium = model::LinkConnectionType;
using Kind = OutgoingKind;

/// An emulator core run as its thread runs it: turned at every deadline it names. Device
/// messages are wrapped as the server wraps them.
struct CoreRun {
    explicit CoreRun(LinkConfig config = {}) : core(std::move(config), now) {}

    void runFor(Clock::duration duration) {
        const auto until = now + duration;
        for (;;) {
            core.advance(now);
            for (auto& item : core.takeDue(now)) {
                out.push_back(std::move(item));
            }
            if (now == until) {
                return;
            }
            const auto next = core.nextDeadline(now);
            ASSERT_TRUE(!next || *next > now) << "a deadline that never passes";
            now = std::min(next.value_or(until), until);
        }
    }
    void frame(const core::Bytes& payload) {
        core.receiveFrame(payload, now, log);
        runFor(0s);
    }
    void device(core::ByteView message, Medium medium,
                link::Delivery delivery = link::Delivery::acknowledged) {
        link::FrameEncoder encoder;
        const auto wrapped =
            link::wrapForLink(encoder, message, core.config().linkType, medium, delivery);
        if (wrapped.status == link::WrapStatus::unframed) {
            core.receiveUnframed(message, now, log);
        } else {
            core.receiveFrame(testing::payloadIn(wrapped.bytes), now, log);
        }
        runFor(0s);
    }
    /// Sends `payload` and returns the one reply it brought.
    core::Bytes exchange(const core::Bytes& payload) {
        out.clear();
        frame(payload);
        const auto replies = sent(Kind::reply);
        EXPECT_EQ(replies.size(), 1u) << describe(log.back());
        return replies.empty() ? core::Bytes{} : replies.front();
    }
    std::vector<core::Bytes> sent(Kind kind) const {
        std::vector<core::Bytes> found;
        for (const auto& item : out) {
            if (item.kind == kind) {
                found.push_back(item.payload);
            }
        }
        return found;
    }
    LinkModuleState state() const { return core.state(now); }
    void setFaults(const std::function<void(Faults&)>& change) {
        auto faults = core.faults();
        change(faults);
        core.setFaults(faults);
    }

    Clock::time_point now = Clock::time_point{} + 1h;
    EmulatorCore core;
    std::vector<Received> log;
    std::vector<Outgoing> out;
};

core::Bytes attach(const link::Mac& mac) {
    return payloadOf([&](auto& e) { attachToBundle(e, mac); });
}

TEST(EmulatorCore, AnAdapterAnswersEveryHostCommandUnderItsReplyHeaderAndAModuleNone) {
    CoreRun r;
    const std::pair<core::Bytes, link::ReplyHeader> rows[] = {
        {payloadOf(linkVersions), link::kLinkVersionsReply},
        {{0x1A, 0x03}, link::kSelectLinkReply},
        {payloadOf(identify), link::kSelectLinkReply},
        {payloadOf(link2PairStatus), link::kLink2PairStatusReply},
        {payloadOf(link2ScanResults), link::kLink2ScanResultsReply},
        {payloadOf(link2Connect), link::kLink2ConnectReply},
        {payloadOf(pairStatus), link::kRadioReply},
        {payloadOf(scanStart), link::kRadioReply},
        {payloadOf(scanResults), link::kScanResultsReply},
        {payloadOf(scanStop), link::kRadioReply},
        {attach(r.core.config().devices[0].mac), link::kRadioReply},
        {{0x11, 0x09, 0x00, 0x00}, link::kRadioReply},  // createBundle of no device
        {payloadOf(radioDisconnect), link::kRadioReply},
        {payloadOf(updateBegin), link::kRadioReply},
        {payloadOf(updateEnd), link::kRadioReply},
        {payloadOf(radioReset), link::kRadioReply},
    };
    for (const auto& [payload, header] : rows) {
        EXPECT_TRUE(link::matchesHeader(r.exchange(payload), header)) << describe(r.log.back());
    }
    EXPECT_EQ(r.state().identifyCount, 1u);
    EXPECT_EQ(r.state().selectedLink, link::SelectLink::wireless);
    // What it could not read is recorded and not answered.
    r.out.clear();
    r.frame({0x1A, 0x09});
    EXPECT_TRUE(r.out.empty());
    EXPECT_EQ(r.log.back().kind, ReceivedKind::unreadable);
    // A stop-motion module ignores adapter commands and says so in its log.
    CoreRun module(defaultModuleConfig());
    module.frame(payloadOf(linkVersions));
    EXPECT_TRUE(module.out.empty());
    EXPECT_FALSE(module.log.back().delivered);
    EXPECT_NE(describe(module.log.back()).find("linkVersions (ignored)"), std::string::npos);
}

TEST(EmulatorCore, WirelessPairingConnectsTheGroupAfterASecondOrEndsInItsProblem) {
    CoreRun r;
    const auto& devices = r.core.config().devices;
    const auto pairState = [&] {
        return link::wirelessPairStatusJson(r.exchange(payloadOf(pairStatus))).dump();
    };
    const auto state = [](const char* pairing, const char* error = "none") {
        return fmt::format(R"({{"lastPairError":"{}","wirelessPairState":"{}"}})", error, pairing);
    };
    EXPECT_EQ(pairState(), state("idle"));
    r.exchange(attach(devices[1].mac));
    r.runFor(500ms);
    EXPECT_TRUE(r.sent(Kind::status).empty());
    EXPECT_EQ(pairState(), state("connecting"));
    r.runFor(500ms);
    EXPECT_EQ(pairState(), state("connectionOk"));
    // About 20 status messages a second; attaching to the slider joined its whole group.
    r.out.clear();
    r.runFor(1s);
    const auto reports = r.sent(Kind::status);
    EXPECT_GE(reports.size(), 19u);
    EXPECT_LE(reports.size(), 21u);
    EXPECT_EQ(bundle::decodeStatus(core::ByteView(reports.at(0)).subspan(2)).value().deviceCount,
              2);

    // A created group leads with its forced master, and replaces the group paired before.
    link::CreateBundleRequest request{2, model::codeOf(model::DeviceModel::glideTrack)};
    request.macs = {devices[0].mac, devices[1].mac};
    r.exchange(payloadOf([&](auto& e) { EXPECT_TRUE(createBundle(e, request)); }));
    r.runFor(1s);
    EXPECT_EQ(r.state().bundle.devices,
              (std::vector{model::DeviceModel::glideTrack, model::DeviceModel::turretAlpha2}));
    // A MAC nobody answers to, and the fault switch, read when the pairing completes.
    r.exchange(attach({1, 2, 3, 4, 5, 6}));
    r.runFor(1s);
    EXPECT_EQ(pairState(), state("problem", "deviceSearchProblem"));
    EXPECT_EQ(r.state().pairedMedium, Medium::none);
    r.exchange(attach(devices[0].mac));
    r.setFaults(
        [](Faults& f) { f.wirelessPairError = link::WirelessPairError::alreadyGroupMember; });
    r.runFor(1s);
    EXPECT_TRUE(r.sent(Kind::status).empty());
    EXPECT_EQ(pairState(), state("problem", "alreadyGroupMember"));
}

TEST(EmulatorCore, CanbusPairingPingsThenConnectsOrFallsBackWithItsError) {
    CoreRun r;
    const auto pairState = [&] {
        return link::canbusPairStatusJson(r.exchange(payloadOf(link2PairStatus))).dump();
    };
    const auto state = [](const char* pairing, const char* error = "none") {
        return fmt::format(R"({{"canbusPairState":"{}","lastPairError":"{}"}})", pairing, error);
    };
    r.exchange(payloadOf(link2Connect));
    EXPECT_EQ(pairState(), state("pingReceived"));
    r.runFor(500ms);
    EXPECT_EQ(pairState(), state("connecting"));
    r.runFor(500ms);
    EXPECT_EQ(pairState(), state("connectionOk"));
    // Sent unacknowledged, a message is acted on but brings no answer.
    r.out.clear();
    r.device(bundle::numericLimitsRequestMessage(), Medium::canbus, link::Delivery::unacknowledged);
    EXPECT_TRUE(r.log.back().accepted);
    EXPECT_TRUE(r.sent(Kind::answer).empty());

    r.setFaults([](Faults& f) { f.canbusPairError = link::CanbusPairError::cantAppendDevice; });
    r.exchange(payloadOf(link2Connect));
    r.runFor(1s);
    EXPECT_EQ(pairState(), state("idle", "cantAppendDevice"));
    EXPECT_EQ(r.state().pairedMedium, Medium::none);
}

TEST(EmulatorCore, AcknowledgeByteChangesOncePerAcceptedMessageWithAPromptStatus) {
    CoreRun r;
    r.device(bundle::statusRequestMessage(), Medium::rj45);
    EXPECT_EQ(r.state().acknowledge, 1);
    const auto store =
        testing::bytesOf(bundle::keyposeStoreCurrentPoseMessage(r.core.primary(), 1, 5));
    auto broken = store;
    broken.back() ^= 0xFF;
    r.out.clear();
    r.device(broken, Medium::rj45);
    EXPECT_EQ(r.log.back().check, MessageCheck::badChecksum);
    r.device(core::Bytes{0x02, 0x77, 0x00, 0x79}, Medium::rj45);
    EXPECT_EQ(r.log.back().check, MessageCheck::unknownOpcode);
    EXPECT_TRUE(r.sent(Kind::status).empty());
    r.device(store, Medium::rj45);
    ASSERT_EQ(r.sent(Kind::status).size(), 1u);  // at once, not at the next beat
    EXPECT_EQ(r.sent(Kind::status)[0][1 + 65], 2);

    // Selecting another link drops the cable's devices; a medium not paired reaches nobody.
    r.exchange({0x1A, 0x00});
    r.out.clear();
    r.runFor(500ms);
    EXPECT_TRUE(r.sent(Kind::status).empty());
    r.device(store, Medium::canbus);
    EXPECT_FALSE(r.log.back().delivered);
    // With no medium the adapter passes a message written without a frame to its devices; their
    // answer has no way back, but the acknowledge byte moves.
    r.device(store, Medium::none);
    EXPECT_EQ(r.log.back().medium, Medium::none);
    EXPECT_TRUE(r.log.back().accepted);
    EXPECT_EQ(r.state().acknowledge, 3);
    EXPECT_TRUE(r.out.empty());
}

TEST(EmulatorCore, RadioUpdateAcknowledgesAndCountsChunksWhileTheRadioRelaysNothing) {
    CoreRun r;
    r.exchange(attach(r.core.config().devices[0].mac));
    r.runFor(1s);
    std::array<std::uint8_t, link::kRadioChunkSize> chunk{};
    const auto sendChunks = [&](std::size_t count) {
        r.out.clear();
        for (std::size_t i = 0; i < count; ++i) {
            r.frame(payloadOf([&](auto& e) { updateChunk(e, chunk); }));
        }
        return r.sent(Kind::reply).size();
    };
    r.exchange(payloadOf(radioReset));
    EXPECT_EQ(r.state().pairedMedium, Medium::none);  // the reset dropped the group
    EXPECT_EQ(sendChunks(1), 0u);                     // no update begun: ignored
    r.exchange(payloadOf(updateBegin));
    EXPECT_EQ(sendChunks(3), 3u);
    r.out.clear();
    r.frame(payloadOf(scanStart));  // busy taking the image
    r.device(bundle::statusRequestMessage(), Medium::wireless);
    EXPECT_TRUE(r.out.empty());
    r.exchange(payloadOf(updateEnd));
    EXPECT_EQ(r.state().radioUpdate.ended, 1u);
    EXPECT_EQ(r.state().radioUpdate.chunksAcknowledged, 3u);

    // A radio that stops acknowledging at chunk 5 still counts what it receives.
    r.setFaults([](Faults& f) { f.stopChunkAcknowledgementAt = 5; });
    r.exchange(payloadOf(updateBegin));
    EXPECT_EQ(sendChunks(8), 5u);
    EXPECT_EQ(r.state().radioUpdate.chunksReceived, 8u);
    EXPECT_EQ(r.state().radioUpdate.chunksAcknowledged, 5u);
}

TEST(EmulatorCore, RepliesCanBeLostOrHeldBack) {
    CoreRun r;
    r.setFaults([](Faults& f) { f.replyDelay = 200ms; });
    r.frame(payloadOf(linkVersions));
    EXPECT_EQ(r.core.nextDeadline(r.now), r.now + 200ms);  // the thread wakes for it
    r.device(bundle::statusRequestMessage(), Medium::rj45);
    r.runFor(199ms);
    EXPECT_TRUE(r.sent(Kind::reply).empty());
    EXPECT_EQ(r.state().acknowledge, 0);
    r.runFor(1ms);
    EXPECT_EQ(r.sent(Kind::reply).size(), 1u);
    EXPECT_EQ(r.state().acknowledge, 1);

    r.setFaults([](Faults& f) {
        f.replyDelay = 0ms;
        f.dropEveryNthReply = 2;
    });
    r.out.clear();
    for (int i = 0; i < 4; ++i) {
        r.frame(payloadOf(linkVersions));
    }
    EXPECT_EQ(r.sent(Kind::reply).size(), 2u);
    EXPECT_EQ(r.state().repliesDropped, 2u);
    // A lost acknowledgement: the message took effect, the byte stays.
    r.exchange(payloadOf(identify));                         // the fifth reply: kept
    r.device(bundle::statusRequestMessage(), Medium::rj45);  // the sixth: lost
    EXPECT_EQ(r.state().acknowledge, 1);
    EXPECT_EQ(r.state().deviceMessagesAccepted, 2u);
}

}  // namespace
}  // namespace kinetra::sim
