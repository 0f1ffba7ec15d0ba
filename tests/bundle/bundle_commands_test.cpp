// The command service of a real bundle against the emulated devices: how each medium carries
// a command, each way it is sent, the reads, silent devices, and commands refused or sent before
// the link is paired. The bytes of every message are the planner's tests' business; these check
// that they reach the line.
#include "bundle_rig.hpp"

namespace kinetra::bundle::test {
namespace {

const json kOk{{"result", "ok"}};

// The payload of the host frame that carried the device message with `opcode` (received from
// `from` on): the emulator records the frame, then the message it held.
std::string carrier(BundleRig& rig, std::uint8_t opcode, std::size_t from) {
    if (!rig.emulator().waitForDeviceMessage(opcode, kWait, from)) {
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

// An acknowledged abort and an unacknowledged real-time move, wrapped for each medium.
TEST(BundleCommands, WrapsMessagesForTheMediumItPairedOver) {
    constexpr auto kRealTime = "11 8A 02 0C 80 01 F4 01 00 00 27 10 09 FF FF EC 78 05 C1";
    const std::tuple<Medium, std::string, std::string> rows[] = {
        {Medium::wireless, "11 0A 04 02 09 00 0B", std::string("11 0A 13 ") + kRealTime},
        {Medium::canbus, "18 02 09 00 0B", std::string("1B ") + kRealTime},
        {Medium::rj45, "12 02 09 00 0B", std::string("12 ") + kRealTime},
    };
    for (const auto& [medium, abortFrame, realTimeFrame] : rows) {
        SCOPED_TRACE(model::kLinkConnectionTypeTable.nameOf(medium));
        BundleRig rig(gear({device(DeviceModel::turretAlpha2, 1)}));
        ASSERT_TRUE(rig.pair(medium));
        auto from = rig.mark();
        EXPECT_EQ(rig.command({{"command", "motionAbort"}}), kOk);
        EXPECT_EQ(carrier(rig, 0x09, from), abortFrame);
        from = rig.mark();
        EXPECT_EQ(rig.command({{"command", "realTimeMoveFixedDuration"},
                               {"duration", 0.5},
                               {"headPan", 10},
                               {"headTilt", -5}}),
                  kOk);
        EXPECT_EQ(carrier(rig, 0x8A, from), realTimeFrame);
    }
}

// Each refusal is a reply text, nothing reaches the devices, and the service goes on.
TEST(BundleCommands, RefusedCommandsAnswerTheirTextAndSendNothing) {
    BundleRig rig(gear({device(DeviceModel::turretAlpha2, 1)}));
    ASSERT_TRUE(rig.pair(Medium::rj45));
    const auto from = rig.mark();
    const auto result = [](std::string_view text) { return json{{"result", text}}; };
    EXPECT_EQ(rig.command({{"command", "joystickMove"}, {"headPan", 0.5}}),
              result("invalid setup"));
    EXPECT_EQ(rig.command({{"command", "noSuchCommand"}}), result("invalid command"));
    EXPECT_EQ(rig.command({{"command", "keyposeDeletePose"}, {"index", 6}}),
              (json{{"member", "index"}, {"result", "value out of range"}}));
    EXPECT_EQ(
        rig.ask(bus::bundleEndpoint(rig.linkId()), R"({"command":"motionAbort")"),
        result("command parsing error. please check the arguments, syntax, naming etc.").dump());
    EXPECT_TRUE(rig.deviceMessages(from).empty()) << hex(rig.deviceMessages(from).front().bytes);
    EXPECT_EQ(rig.command({{"command", "motionAbort"}}), kOk);
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
    EXPECT_EQ(rig.command({{"command", "numericLimitValues"}})["data"]["tiltMaxLimit"], 89.1);
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
