// The command service of a real bundle against the emulated devices: the bytes each family's
// devices receive, how each medium carries them, the checks' answers, the two reads, silent
// devices, and commands that come before the link is paired.
#include "bundle_rig.hpp"

namespace kinetra::bundle::test {
namespace {

const json kOk{{"result", "ok"}};

struct FamilyCase {
    std::string name;
    std::vector<sim::DeviceConfig> devices;
    json request;
    std::uint8_t opcode;
    std::string expected;   // the device message, checksum included
    json before = nullptr;  // a command that prepares the devices for the one checked
};

void PrintTo(const FamilyCase& c, std::ostream* out) {
    *out << c.name;
}

class EveryFamily : public ::testing::TestWithParam<FamilyCase> {};

TEST_P(EveryFamily, DevicesReceiveTheMessageAndAcknowledgeIt) {
    const auto& c = GetParam();
    BundleRig rig(gear(c.devices));
    ASSERT_TRUE(rig.pair(Medium::rj45));
    if (!c.before.is_null()) {
        ASSERT_EQ(rig.command(c.before), kOk);
    }
    const auto from = rig.mark();
    EXPECT_EQ(rig.command(c.request), kOk);
    EXPECT_EQ(rig.sent(c.opcode, from), c.expected);
}

const auto head = [] { return device(DeviceModel::turretAlpha2, 1); };

INSTANTIATE_TEST_SUITE_P(
    BundleCommands, EveryFamily,
    ::testing::Values(
        FamilyCase{"sliderDeletesAPose",
                   {device(DeviceModel::glideTrack, 1)},
                   {{"command", "keyposeDeletePose"}, {"index", 3}},
                   0x1D,
                   "03 1D 03 00 23"},
        FamilyCase{"headStickClampsPan",
                   {head()},
                   {{"command", "joystickMove"}, {"headPan", 3.0}, {"headTilt", 0}},
                   0x0A,
                   "06 0A 7D 00 00 00 00 8D"},
        FamilyCase{"headMovesToAPoseWithinTheShortestDuration",
                   {head()},
                   {{"command", "keyposeMoveFixedDuration"},
                    {"index", 2},
                    {"duration", 0.05},
                    {"acceleration", 0.5}},
                   0x07,
                   "11 07 FF 02 00 3E 80 3E 80 FE 17 B8 00 00 00 00 64 04 C6",
                   // The devices refuse a move to a pose they never stored.
                   {{"command", "keyposeStoreWithNumericData"},
                    {"index", 2},
                    {"headPan", 5},
                    {"headTilt", 5}}},
        FamilyCase{"headFollowsARealTimeMove",
                   {head()},
                   {{"command", "realTimeMoveFixedDuration"},
                    {"duration", 0.5},
                    {"headPan", 10},
                    {"headTilt", -5}},
                   0x8A,
                   "11 8A 02 0C 80 01 F4 01 00 00 27 10 09 FF FF EC 78 05 C1"},
        FamilyCase{
            "headIsAskedForItsStatus", {head()}, {{"command", "status"}}, 0xE6, "02 E6 00 E8"},
        FamilyCase{"dollyAborts",
                   {device(DeviceModel::rollerBase, 1)},
                   {{"command", "motionAbort"}},
                   0x02,
                   "02 02 00 04"},
        FamilyCase{"lensTurnsItsFocusRing",
                   {device(DeviceModel::lensDriveMax, 1)},
                   {{"command", "focusManualMove"}, {"deltaEnc", 1.5}},
                   0x19,
                   "06 19 00 00 00 96 00 B5"},
        FamilyCase{"craneArmStickInvertsTilt",
                   {device(DeviceModel::craneArm, 1)},
                   {{"command", "joystickMove"}, {"craneMaxPan", 0.5}, {"craneMaxTilt", -0.25}},
                   0x42,
                   "06 42 3E 80 1F 40 01 65"},
        FamilyCase{"railUnitCalibratesOnTheGround",
                   {device(DeviceModel::railUnitGen3, 1)},
                   {{"command", "calibrate"},
                    {"device", "railUnitGen3"},
                    {"isOnGround", true},
                    {"isOnLeftSide", false}},
                   0x10,
                   "03 10 03 00 16"}),
    [](const auto& param) { return param.param.name; });

TEST(BundleCommands, FirstStoredPoseCarriesTheFirstIdentifier) {
    BundleRig rig(gear({device(DeviceModel::turretAlpha2, 1)}));
    ASSERT_TRUE(rig.pair(Medium::rj45));
    const auto from = rig.mark();
    const bool fresh = !currentPoseStored().load();
    EXPECT_EQ(rig.command({{"command", "keyposeStoreCurrentPose"}, {"index", 1}}), kOk);
    const auto sent = rig.sent(0x05, from);
    if (fresh) {
        EXPECT_EQ(sent, "07 05 01 CA FE F0 0E 02 D3");
    } else {
        EXPECT_TRUE(sent.starts_with("07 05 01 ")) << sent;
    }
}

struct MediumCase {
    Medium medium;
    std::string abortFrame;     // payload of the frame carrying motionAbort
    std::string realTimeFrame;  // payload of the frame carrying a real-time move
};

void PrintTo(const MediumCase& c, std::ostream* out) {
    *out << model::kLinkConnectionTypeTable.nameOf(c.medium);
}

class EachMedium : public ::testing::TestWithParam<MediumCase> {};

// The payload of the host frame that carried the device message with `opcode` (received from
// `from` on): the emulator records the frame, then the message it held.
std::string carrier(BundleRig& rig, std::uint8_t opcode, std::size_t from) {
    const auto message = rig.emulator().waitForDeviceMessage(opcode, kWait, from);
    if (!message) {
        return "";
    }
    const auto all = rig.emulator().received();
    for (std::size_t i = from + 1; i < all.size(); ++i) {
        if (all[i].kind == sim::ReceivedKind::deviceMessage && all[i].opcode == opcode) {
            return hex(all[i - 1].bytes);
        }
    }
    return "";
}

TEST_P(EachMedium, WrapsMessagesForTheMediumItPairedOver) {
    const auto& c = GetParam();
    BundleRig rig(gear({device(DeviceModel::turretAlpha2, 1)}));
    ASSERT_TRUE(rig.pair(c.medium));
    auto from = rig.mark();
    EXPECT_EQ(rig.command({{"command", "motionAbort"}}), kOk);
    EXPECT_EQ(carrier(rig, 0x09, from), c.abortFrame);
    from = rig.mark();
    EXPECT_EQ(rig.command({{"command", "realTimeMoveFixedDuration"},
                           {"duration", 0.5},
                           {"headPan", 10},
                           {"headTilt", -5}}),
              kOk);
    EXPECT_EQ(carrier(rig, 0x8A, from), c.realTimeFrame);
}

constexpr auto kRealTime = "11 8A 02 0C 80 01 F4 01 00 00 27 10 09 FF FF EC 78 05 C1";

INSTANTIATE_TEST_SUITE_P(
    BundleCommands, EachMedium,
    ::testing::Values(
        MediumCase{Medium::wireless, "11 0A 04 02 09 00 0B", std::string("11 0A 13 ") + kRealTime},
        // A real-time move is not acknowledged: on the CAN bus it goes unacknowledged.
        MediumCase{Medium::canbus, "18 02 09 00 0B", std::string("1B ") + kRealTime},
        MediumCase{Medium::rj45, "12 02 09 00 0B", std::string("12 ") + kRealTime}),
    [](const auto& param) {
        return std::string(model::kLinkConnectionTypeTable.nameOf(param.param.medium));
    });

// Each refusal is a reply text and nothing reaches the devices.
TEST(BundleCommands, RefusedCommandsAnswerTheirTextAndSendNothing) {
    BundleRig rig(gear({device(DeviceModel::turretAlpha2, 1), device(DeviceModel::glideTrack, 2)}));
    ASSERT_TRUE(rig.pair(Medium::rj45));
    const auto from = rig.mark();
    const auto result = [](std::string_view text) { return json{{"result", text}}; };
    const auto parseError =
        result("command parsing error. please check the arguments, syntax, naming etc.");

    EXPECT_EQ(rig.command({{"command", "realTimeMoveFixedDuration"},
                           {"duration", 1},
                           {"headPan", 1},
                           {"headTilt", 1}}),
              result("Supported realtime axes and command axes are incompatible!"));
    EXPECT_EQ(
        rig.command({{"command", "keyposeStoreWithNumericData"}, {"index", 0}, {"headPan", 1}}),
        result("Missing axis value(s)"));
    EXPECT_EQ(rig.command({{"command", "dynamicMoveFixedSpeed"}}), result("invalid setup"));
    EXPECT_EQ(rig.command({{"command", "joystickMove"}, {"focus", 0.5}}), result("invalid setup"));
    EXPECT_EQ(rig.command({{"command", "joystickMove"}, {"headPan", 0.5}}),
              result("invalid setup"));
    EXPECT_EQ(rig.command({{"command", "noSuchCommand"}}), result("invalid command"));
    EXPECT_EQ(rig.command({{"command", 5}}), parseError);
    EXPECT_EQ(rig.command({{"command", "keyposeDeletePose"}}), parseError) << "index missing";
    EXPECT_EQ(rig.command({{"command", "keyposeDeletePose"}, {"index", "3"}}), parseError);
    EXPECT_EQ(rig.command({{"command", "keyposeDeletePose"}, {"index", 6}}),
              (json{{"member", "index"}, {"result", "value out of range"}}));
    EXPECT_EQ(rig.command(json::array({"motionAbort"})), parseError);
    EXPECT_EQ(rig.ask(bus::bundleEndpoint(rig.linkId()), R"({"command":"motionAbort")"),
              parseError.dump());

    EXPECT_TRUE(rig.deviceMessages(from).empty()) << hex(rig.deviceMessages(from).front().bytes);
    EXPECT_EQ(rig.command({{"command", "motionAbort"}}), kOk) << "the service went on";
}

TEST(BundleCommands, RealTimeMoveOnOutdatedFirmwareAsksForAnUpdate) {
    BundleRig rig(gear({device(DeviceModel::turretAlpha2, 1, 101)}));
    ASSERT_TRUE(rig.pair(Medium::rj45));
    const auto from = rig.mark();
    EXPECT_EQ(rig.command({{"command", "realTimeMoveFixedDuration"},
                           {"duration", 1},
                           {"headPan", 1},
                           {"headTilt", 1}}),
              (json{{"result", "Firmware update required!"}}));
    EXPECT_TRUE(rig.deviceMessages(from).empty());
}

TEST(BundleCommands, ReadsDecodeWhatTheHeadAnswers) {
    BundleRig rig(gear({device(DeviceModel::turretAlpha2, 1)}));
    ASSERT_TRUE(rig.pair(Medium::canbus));
    ASSERT_EQ(rig.command({{"command", "keyposeStoreWithNumericData"},
                           {"index", 2},
                           {"headPan", 10.5},
                           {"headTilt", -4.25}}),
              kOk);
    EXPECT_EQ(
        rig.command({{"command", "keyposeReadNumericValues"}, {"index", 2}}),
        (json{{"data", {{"headPan", 10.5}, {"headTilt", -4.25}, {"index", 2}}}, {"result", "ok"}}));
    // An empty slot answers with index -1.
    const json empty = rig.command({{"command", "keyposeReadNumericValues"}, {"index", 4}});
    EXPECT_EQ(empty["result"], "read index different") << empty;
    EXPECT_EQ(empty["data"]["index"], -1) << empty;

    EXPECT_EQ(rig.command({{"command", "numericLimitValues"}}), (json{{"data",
                                                                       {{"panMaxLimit", 36000.0},
                                                                        {"panMinLimit", -36000.0},
                                                                        {"panStep", 0.00061},
                                                                        {"tiltMaxLimit", 89.1},
                                                                        {"tiltMinLimit", -89.1},
                                                                        {"tiltStep", 0.00061}}},
                                                                      {"result", "ok"}}));
}

TEST(BundleCommands, ReadsDecodeWhatTheSliderAnswers) {
    BundleRig rig(gear({device(DeviceModel::glideTrack, 1)}));
    ASSERT_TRUE(rig.pair(Medium::wireless));
    ASSERT_EQ(
        rig.command({{"command", "keyposeStoreWithNumericData"}, {"index", 0}, {"slide", 5.5}}),
        kOk);
    EXPECT_EQ(rig.command({{"command", "keyposeReadNumericValues"}, {"index", 0}}),
              (json{{"data", {{"index", 0}, {"slide", 5.5}}}, {"result", "ok"}}));
    EXPECT_EQ(
        rig.command({{"command", "numericLimitValues"}}),
        (json{{"data", {{"slideMaxLimit", 20.0}, {"slideMinLimit", 0.0}, {"slideStep", 2.22e-05}}},
              {"result", "ok"}}));
}

TEST(BundleCommands, SilentDevicesLeaveCommandsUnacknowledgedAndReadsUnanswered) {
    BundleRig rig(gear({device(DeviceModel::turretAlpha2, 1)}));
    ASSERT_TRUE(rig.pair(Medium::canbus));
    rig.emulator().updateFaults([](sim::Faults& f) { f.silent = true; });
    auto from = rig.mark();
    EXPECT_EQ(rig.command({{"command", "motionAbort"}}),
              (json{{"acknowledged", false}, {"result", "ok"}}));
    const auto attempts = rig.deviceMessages(from);
    EXPECT_EQ(attempts.size(), 3u) << "three attempts";
    EXPECT_TRUE(std::all_of(attempts.begin(), attempts.end(),
                            [](const sim::Received& r) { return hex(r.bytes) == "02 09 00 0B"; }));

    const json noResponse{{"result", "could not get a response"}};
    from = rig.mark();
    EXPECT_EQ(rig.command({{"command", "keyposeReadNumericValues"}, {"index", 0}}), noResponse);
    EXPECT_EQ(rig.command({{"command", "numericLimitValues"}}), noResponse);
    EXPECT_EQ(rig.deviceMessages(from).size(), 6u);
}

// Before pairing nothing can reach the devices, and no command (a stop least of all) is
// answered "ok"; the status endpoint still answers.
TEST(BundleCommands, CommandsBeforePairingAreRefusedAndReachNoDevice) {
    BundleRig rig(gear({device(DeviceModel::turretAlpha2, 1)}));
    const json notPaired{{"result", "Pairing is not completed."}};
    EXPECT_EQ(rig.command({{"command", "motionAbort"}}), notPaired);
    // Not even looked at: a malformed request gets the same answer.
    EXPECT_EQ(rig.command({{"command", 5}}), notPaired);
    EXPECT_EQ(rig.status(), (json{{"data", nullptr}, {"result", "ok"}}));
    EXPECT_TRUE(rig.deviceMessages().empty());

    ASSERT_TRUE(rig.pair(Medium::canbus));
    const auto from = rig.mark();
    EXPECT_EQ(rig.command({{"command", "motionAbort"}}), kOk);
    EXPECT_EQ(rig.sent(0x09, from), "02 09 00 0B");
}

}  // namespace
}  // namespace kinetra::bundle::test
