// The emulated link over a real pseudo-terminal, driven the way the server drives a link: frames
// from the link builders, routing by classify, bundle commands planned by the server's planner.
#include "sim/emulated_link.hpp"

#include <unistd.h>

#include <gtest/gtest.h>

#include "bundle/device_messages.hpp"
#include "bundle/status_json.hpp"
#include "link/pairing_codec.hpp"
#include "link/radio_image.hpp"
#include "test_host.hpp"

namespace kinetra::sim {
namespace {

using namespace std::chrono_literals;
using link::RadioCommand;
using model::LinkConnectionType;
using testing::kLongWait;
using testing::kReplyWait;
using testing::TestHost;
namespace frames = link::frames;

LinkConfig quick(LinkConfig config = {}) {
    config.timings.pairingTime = 200ms;
    config.timings.calibrationTime = 300ms;
    return config;
}

bool isCommand(const Received& r, link::AdapterCommand command) {
    return r.kind == ReceivedKind::hostCommand && r.isCommand(command);
}

void pairWireless(EmulatedLink& emulator, TestHost& host) {
    const auto mac = emulator.config().devices[0].mac;
    ASSERT_TRUE(host.exchange([&](auto& e) { frames::attachToBundle(e, mac); }, link::kRadioReply));
    ASSERT_TRUE(emulator.waitForPairing(LinkConnectionType::wireless, kLongWait));
    ASSERT_TRUE(host.awaitStatus());
    ASSERT_EQ(host.connection(), LinkConnectionType::wireless);
}

TEST(EmulatedLink, AnswersOverThePseudoTerminalAndRecordsWhatItReceived) {
    EmulatedLink emulator;
    TestHost host(emulator.path(), model::LinkType::linkAdapter);
    const auto versions = host.exchange(frames::linkVersions, link::kLinkVersionsReply);
    ASSERT_TRUE(versions.has_value());
    EXPECT_EQ((*versions)[3], 4);
    EXPECT_EQ((*versions)[5], 1);
    host.send(frames::identify);
    EXPECT_TRUE(host.awaitAnyResponse().has_value());
    host.send([](auto& e) { frames::selectLink(e, link::SelectLink::canbus); });
    ASSERT_TRUE(emulator.waitForCommand(link::AdapterCommand::selectLink, {}, kReplyWait));

    const auto received = emulator.received();
    ASSERT_EQ(received.size(), 3u);
    EXPECT_TRUE(isCommand(received[0], link::AdapterCommand::linkVersions));
    EXPECT_TRUE(isCommand(received[1], link::AdapterCommand::identify));
    EXPECT_EQ(received[2].bytes, (core::Bytes{0x1A, 0x02}));
    EXPECT_EQ(emulator.state().identifyCount, 1u);
    EXPECT_EQ(emulator.state().selectedLink, link::SelectLink::canbus);
}

// Scan, attach, pair, then drive the bundle as the server's bundle commands do.
TEST(EmulatedLink, WirelessBundleAnswersTheServersCommands) {
    EmulatedLink emulator(quick());
    TestHost host(emulator.path(), model::LinkType::linkAdapter);
    ASSERT_TRUE(host.exchange(frames::scanStart, link::kRadioReply));
    const auto scan = host.exchange(frames::scanResults, link::kScanResultsReply);
    ASSERT_TRUE(scan.has_value());
    const auto entries = link::wirelessScanJson(scan->message(), model::FirmwareCatalog());
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0]["mac"], "24:6F:28:1A:00:01");
    pairWireless(emulator, host);

    const auto status = bundle::statusToJson(*host.latestStatus(), 0);
    EXPECT_EQ(status["supportedAxes"].size(), 3u);
    EXPECT_EQ(status["deviceInfo"][0]["type"], "turretAlpha2");
    EXPECT_EQ(status["state"], "idle");

    EXPECT_EQ(host.command({{"command", "keyposeStoreWithNumericData"},
                            {"index", 1},
                            {"headPan", 20.0},
                            {"headTilt", -5.0},
                            {"slide", 0.5}}),
              (json{{"result", "ok"}}));
    EXPECT_EQ(emulator.state().acknowledge, 1);
    const auto read = host.command({{"command", "keyposeReadNumericValues"}, {"index", 1}});
    EXPECT_EQ(read["result"], "ok") << read.dump();
    EXPECT_EQ(read["data"]["headPan"], 20.0);
    EXPECT_EQ(read["data"]["slide"], 0.5);
    const auto limits = host.command({{"command", "numericLimitValues"}});
    EXPECT_EQ(limits["result"], "ok") << limits.dump();
    EXPECT_EQ(limits["data"]["slideMaxLimit"], 20.0);

    EXPECT_EQ(host.command({{"command", "keyposeMoveFixedDuration"},
                            {"index", 1},
                            {"duration", 0.4},
                            {"acceleration", 0.5}}),
              (json{{"result", "ok"}}));
    ASSERT_TRUE(host.awaitStatus([](const auto& s) { return s.activity == 1; }));
    ASSERT_TRUE(host.awaitStatus(
        [](const auto& s) { return s.activity == 0 && s.headPan == 20.0f; }, kLongWait));

    EXPECT_EQ(host.command({{"command", "realTimeMoveFixedDuration"},
                            {"duration", 0.3},
                            {"headPan", -10.0},
                            {"headTilt", 0.0},
                            {"slide", 0.0}}),
              (json{{"result", "ok"}}));
    ASSERT_TRUE(host.awaitStatus([](const auto& s) { return s.activity == 2; }));
    ASSERT_TRUE(emulator.waitForState(
        [](const EmulatorState& s) {
            return s.bundle.activity == model::BundleActivity::idle &&
                   s.bundle.position(model::AxisSlot::headPan) == -10.0;
        },
        kLongWait));
    EXPECT_GE(emulator.state().statusMessagesSent, 1u);
}

TEST(EmulatedLink, CanbusAndRj45AnswersCarryTheirMediumsHeaders) {
    EmulatedLink can(quick());
    TestHost canHost(can.path(), model::LinkType::linkAdapter);
    ASSERT_TRUE(canHost.exchange(frames::link2Connect, link::kLink2ConnectReply));
    ASSERT_TRUE(canHost.awaitStatus({}, kLongWait));
    EXPECT_EQ(canHost.connection(), LinkConnectionType::canbus);
    // The answer comes back as 02 16 1F 41 26 ...: from the head's address to the adapter.
    EXPECT_EQ(canHost.command({{"command", "numericLimitValues"}})["result"], "ok");

    EmulatedLink cable(quick());
    TestHost cableHost(cable.path(), model::LinkType::linkAdapter);
    // As link1PairingConnect does: select the cable, then ask for a status over it.
    cableHost.send([](auto& e) { frames::selectLink(e, link::SelectLink::rj45); });
    cableHost.send(
        [](auto& e) { EXPECT_TRUE(frames::forwardRj45(e, bundle::statusRequestMessage())); });
    ASSERT_TRUE(cableHost.awaitStatus());
    EXPECT_EQ(cableHost.connection(), LinkConnectionType::rj45);
    const auto read = cableHost.command({{"command", "keyposeReadNumericValues"}, {"index", 0}});
    EXPECT_EQ(read["result"], "read index different") << read.dump();  // slot 0 is empty: -1
    EXPECT_EQ(cableHost.command({{"command", "numericLimitValues"}})["result"], "ok");
    EXPECT_EQ(cable.state().pairedMedium, LinkConnectionType::rj45);
}

TEST(EmulatedLink, StopMotionModuleTakesUnframedMessagesAndAnswersInFrames) {
    EmulatedLink module(quick(defaultModuleConfig()));
    TestHost host(module.path(), model::LinkType::stopMotionModule);
    host.sendDevice(bundle::statusRequestMessage());
    ASSERT_TRUE(host.awaitStatus());
    EXPECT_TRUE(host.linkState().paired);
    EXPECT_EQ(host.command({{"command", "keyposeStoreCurrentPose"}, {"index", 2}}),
              (json{{"result", "ok"}}));
    const auto read = host.command({{"command", "keyposeReadNumericValues"}, {"index", 2}});
    EXPECT_EQ(read["result"], "ok") << read.dump();
    const auto received = module.received();
    ASSERT_FALSE(received.empty());
    EXPECT_EQ(received.front().kind, ReceivedKind::deviceMessage);
    EXPECT_EQ(received.front().medium, LinkConnectionType::none);
    EXPECT_TRUE(received.front().accepted);
}

TEST(EmulatedLink, AdapterWithNoMediumPassesUnframedMessagesToItsDevices) {
    EmulatedLink emulator;
    TestHost host(emulator.path(), model::LinkType::linkAdapter);
    host.write(bundle::statusRequestMessage());
    host.send(frames::linkVersions);
    const auto message = emulator.waitForDeviceMessage(0xE6, kReplyWait);
    ASSERT_TRUE(message.has_value());
    EXPECT_EQ(message->medium, LinkConnectionType::none);
    EXPECT_TRUE(message->accepted);
    EXPECT_TRUE(host.awaitResponse(link::kLinkVersionsReply).has_value());
    EXPECT_TRUE(emulator.waitForState([](const EmulatorState& s) { return s.acknowledge == 1; },
                                      kReplyWait));
    EXPECT_EQ(host.statusCount(), 0u);  // no medium carries an answer back
}

TEST(EmulatedLink, RadioUpdateIsAcknowledgedChunkByChunk) {
    EmulatedLink emulator(quick());
    TestHost host(emulator.path(), model::LinkType::linkAdapter);
    pairWireless(emulator, host);
    ASSERT_TRUE(host.exchange(frames::radioDisconnect, link::kRadioReply));
    ASSERT_TRUE(host.exchange([](auto& e) { frames::selectLink(e, link::SelectLink::none); },
                              link::kSelectLinkReply));
    ASSERT_TRUE(host.exchange(frames::radioReset, link::kRadioReply));
    ASSERT_TRUE(host.exchange(frames::updateBegin, link::kRadioReply));
    const link::RadioImageChunks chunks(link::radioFirmwareImage());
    for (std::size_t i = 0; i < chunks.count(); ++i) {
        ASSERT_TRUE(host.exchange([&](auto& e) { frames::updateChunk(e, chunks.chunk(i)); },
                                  link::kRadioReply))
            << "chunk " << i;
    }
    ASSERT_TRUE(host.exchange(frames::updateEnd, link::kRadioReply));
    const auto update = emulator.state().radioUpdate;
    EXPECT_EQ(update.chunksReceived, 819u);
    EXPECT_EQ(update.chunksAcknowledged, 819u);
    EXPECT_EQ(update.ended, 1u);
    EXPECT_EQ(emulator.state().pairedMedium, LinkConnectionType::none);

    emulator.updateFaults([](Faults& f) { f.stopChunkAcknowledgementAt = 2; });
    ASSERT_TRUE(host.exchange(frames::updateBegin, link::kRadioReply));
    for (std::size_t i = 0; i < 2; ++i) {
        ASSERT_TRUE(host.exchange([&](auto& e) { frames::updateChunk(e, chunks.chunk(i)); },
                                  link::kRadioReply));
    }
    EXPECT_FALSE(host.exchange([&](auto& e) { frames::updateChunk(e, chunks.chunk(2)); },
                               link::kRadioReply, 300ms));
    EXPECT_TRUE(emulator.waitForState(
        [](const EmulatorState& s) { return s.radioUpdate.chunksReceived == 3; }, kReplyWait));
}

}  // namespace
}  // namespace kinetra::sim
