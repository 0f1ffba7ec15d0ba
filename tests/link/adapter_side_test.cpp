// The adapter's side agrees with the host's: commands read back, device payloads routed.
#include "link/adapter_side.hpp"

#include <functional>
#include <vector>

#include <gtest/gtest.h>

#include "link/classify.hpp"
#include "link/reply.hpp"

namespace kinetra::link {
namespace {

using core::Bytes;
using model::LinkConnectionType;

Bytes payloadOf(const FrameEncoder& encoder) {
    FrameDecoder decoder;
    Bytes payload;
    decoder.feed(encoder.encoded(), [&](core::ByteView p) { payload.assign(p.begin(), p.end()); });
    return payload;
}

Bytes bytesOf(core::ByteView view) {
    return {view.begin(), view.end()};
}

// What the host builds, the adapter reads back as the same command and argument.
TEST(HostCommand, ReadsBackWhatTheBuildersFrame) {
    const Bytes message{0x02, 0xE6, 0x00, 0xE8};
    std::array<std::uint8_t, kRadioChunkSize> chunk{};
    chunk.fill(0xDB);
    const Mac mac{1, 2, 3, 4, 5, 6};
    CreateBundleRequest bundle;
    bundle.deviceCount = 1;
    bundle.forcedMasterDevice = 3;
    bundle.macs[0] = mac;

    struct Row {
        const char* what;
        std::function<void(FrameEncoder&)> build;
        AdapterCommand command;
        std::optional<RadioCommand> radio;
        Bytes argument;
    };
    const std::vector<Row> rows = {
        {"linkVersions", frames::linkVersions, AdapterCommand::linkVersions, {}, {}},
        {"identify", frames::identify, AdapterCommand::identify, {}, {}},
        {"link2Connect", frames::link2Connect, AdapterCommand::link2Connect, {}, {}},
        {"selectLink",
         [](auto& e) { frames::selectLink(e, SelectLink::canbus); },
         AdapterCommand::selectLink,
         {},
         {2}},
        {"forwardCanbus",
         [&](auto& e) { EXPECT_TRUE(frames::forwardCanbus(e, message)); },
         AdapterCommand::forwardCanbus,
         {},
         message},
        {"forwardWireless", [&](auto& e) { EXPECT_TRUE(frames::forwardWireless(e, message)); },
         AdapterCommand::radioCommand, RadioCommand::forwardWireless, message},
        {"scanResults",
         frames::scanResults,
         AdapterCommand::radioCommand,
         RadioCommand::scanResults,
         {}},
        {"attachToBundle",
         [&](auto& e) { frames::attachToBundle(e, mac); },
         AdapterCommand::radioCommand,
         RadioCommand::attachToBundle,
         {1, 2, 3, 4, 5, 6}},
        {"createBundle",
         [&](auto& e) { EXPECT_TRUE(frames::createBundle(e, bundle)); },
         AdapterCommand::radioCommand,
         RadioCommand::createBundle,
         {1, 3, 1, 2, 3, 4, 5, 6}},
        {"updateChunk", [&](auto& e) { frames::updateChunk(e, chunk); },
         AdapterCommand::radioCommand, RadioCommand::updateChunk, Bytes(kRadioChunkSize, 0xDB)},
    };
    FrameEncoder encoder;
    for (const auto& row : rows) {
        row.build(encoder);
        const auto payload = payloadOf(encoder);
        const auto command = readHostCommand(payload);
        ASSERT_TRUE(command.has_value()) << row.what;
        EXPECT_EQ(command->command, row.command) << row.what;
        EXPECT_EQ(command->radio, row.radio) << row.what;
        EXPECT_EQ(bytesOf(command->argument), row.argument) << row.what;
    }
}

TEST(HostCommand, RefusesUnknownCommandsAndWrongSizes) {
    const std::vector<Bytes> bad = {
        {},
        {0x13},
        {0x1C, 0x00},
        {0x1A},
        {0x1A, 0x04},
        {0x11},
        {0x11, 0x0B},
        {0x11, 0x07, 0x00},
        {0x11, 0x08, 1, 2, 3, 4, 5},
        {0x11, 0x09, 5, 0},
        {0x11, 0x09, 1, 0, 1, 2, 3},
        {0x11, 0x0A},
        {0x11, 0x0A, 0x03, 0x02, 0xE6},
        Bytes(2 + 999, 0x03),
    };
    for (auto payload : bad) {
        if (payload.size() == 1001) {
            payload[0] = 0x11;
        }
        EXPECT_FALSE(readHostCommand(payload)) << ::testing::PrintToString(payload);
    }
}

// The adapter's device payloads are what the host's routing and reply rules expect.
TEST(FromDevice, MatchesTheHostsRoutingAndReplyRules) {
    const Bytes reply{0x21, 0x05, 0x00};
    Bytes status(kStatusMessageSize, 0x00);
    status[0] = kStatusMessageId;
    const LinkState state{.linkType = model::LinkType::linkAdapter, .statusKnown = true};
    for (const auto medium :
         {LinkConnectionType::wireless, LinkConnectionType::canbus, LinkConnectionType::rj45}) {
        Bytes up;
        ASSERT_TRUE(appendFromDevice(up, medium, reply, 0x05));
        const auto rule = deviceReplyRule(model::LinkType::linkAdapter, medium, 0x21, 0x05);
        const auto accepted = acceptDeviceReply(up, *rule);
        ASSERT_TRUE(accepted.has_value());
        EXPECT_EQ(bytesOf(accepted->message()), reply);

        Bytes statusUp;
        ASSERT_TRUE(appendFromDevice(statusUp, medium, status, 0x05));
        bool paired = false;
        for (const auto& action : classify(statusUp, state)) {
            if (action.kind == ActionKind::becomePaired) {
                paired = true;
                EXPECT_EQ(action.medium, medium);
            }
        }
        EXPECT_TRUE(paired);
    }
    Bytes none;
    EXPECT_FALSE(appendFromDevice(none, LinkConnectionType::none, reply, 0));
    EXPECT_TRUE(none.empty());
}

TEST(ScanEntries, ReadBackAsTheyWereWritten) {
    const WirelessScanEntry written{
        .model = 3,
        .rssi = -71,
        .mac = {0x0A, 0xC0, 0xDB, 0x00, 0xFF, 0x01},
        .setup = 0x23,
        .controllerByte = 0xB5,
        .radioVersion = 26,
        .groupId = 0xBEEF,
    };
    Bytes reply{0x01, 0x01, 0x01};
    appendWirelessScanEntry(reply, written);
    ASSERT_EQ(reply.size(), 23u);
    const auto read = decodeWirelessScan(reply);
    ASSERT_EQ(read.size(), 1u);
    EXPECT_EQ(read[0].model, written.model);
    EXPECT_EQ(read[0].rssi, written.rssi);
    EXPECT_EQ(read[0].mac, written.mac);
    EXPECT_EQ(read[0].setup, written.setup);
    EXPECT_EQ(read[0].controllerByte, written.controllerByte);
    EXPECT_EQ(read[0].radioVersion, written.radioVersion);
    EXPECT_EQ(read[0].groupId, written.groupId);

    Bytes can{0x00, 0x02, 0x01};
    appendCanScanEntry(can, {8, 0, 73});
    const auto entries = decodeCanScan(can);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].versionMinor, 73);
}

}  // namespace
}  // namespace kinetra::link
