// Link status and the pairing commands against a scripted link: the frames in order, the JSON
// answered and the pairing block.
#include "link/pairing_commands.hpp"

#include <gtest/gtest.h>

#include "scripted_session.hpp"

namespace kinetra::link {
namespace {

using test::bytes;
using test::ScriptedSession;

// One adapter reply per header the pairing commands await.
void answerEverything(ScriptedSession& session) {
    // Scan: turretAlpha, rssi -60, MAC 0A:1B:..., setup 0x23 (panTilt, pairing active),
    // firmware far above the catalogue's, group 258. The count announces 2 entries while only
    // one came: a missing entry must not be reported as a device of zeros.
    session.replies["01 01"] = bytes(
        "01 01 02  01 C4 0A 1B 2C 3D 4E 5F 23 FF FF 00 00 00 00 00 00 "
        "00 01 02");
    session.replies["01 00"] = bytes("01 00 02 00 07");  // connectionOk, alreadyGroupMember
    session.replies["00 00"] = bytes("00 00 02 04");     // connecting, cantAppendDevice
    session.replies["00 01"] = bytes("00 01");
    session.replies["00 02"] = bytes("00 02 01 0A 00 FF");  // craneArm 0.255
    session.replies[""] = bytes("01 00");                   // sendWithRetry takes any reply
}

constexpr const char* kOk = R"({"result":"ok"})";
constexpr const char* kNoResponse = R"({"result":"could not get response"})";

TEST(PairingCommands, SendTheirFramesAfterSelectingTheMediumAndAnswerFromTheReply) {
    const struct {
        const char* command;
        const char* request;
        const char* sends;
        const char* answered;
        const char* silent;
        bool unblocksOnAnswer;
    } rows[] = {
        {"wirelessPairingScanStart", "{}",
         "adapter 1A 03 @00 00 | adapter 11 06 @01 00 | adapter 11 05 @01 00", kOk, kNoResponse,
         false},
        {"wirelessPairingScanStop", "{}", "adapter 1A 03 @00 00 | retry 11 06", kOk, kNoResponse,
         false},
        {"wirelessPairingScanResults", "{}", "adapter 1A 03 @00 00 | adapter 11 07 @01 01",
         R"({"data":[{"groupId":258,"isDeviceFirmwareUpdateAvailable":false,)"
         R"("isRadioFirmwareUpdateAvailable":false,"linkPairigingActive":true,)"
         R"("mac":"0A:1B:2C:3D:4E:5F","rssi":-60.0,"setup":"panTilt","type":"turretAlpha"}],)"
         R"("result":"ok"})",
         kNoResponse, false},
        {"wirelessPairingCreateBundle",
         R"({"deviceCount":2,"forcedMasterDevice":"turretGamma",)"
         R"("macList":["0A:1B:2C:3D:4E:5F","1:2:3:4:5:106","FF:FF:FF:FF:FF:FF"]})",
         "adapter 1A 03 @00 00 | adapter 11 09 02 03 0A 1B 2C 3D 4E 5F 01 02 03 04 05 06 @01 00",
         kOk, kNoResponse, true},
        {"wirelessPairingAttachToBundle", R"({"mac":"0a-1b-2c-3d-4e-5f"})",
         "adapter 1A 03 @00 00 | adapter 11 08 0A 1B 2C 3D 4E 5F @01 00", kOk, kNoResponse, true},
        {"wirelessPairingStatus", "{}", "adapter 1A 03 @00 00 | adapter 11 00 @01 00",
         R"({"data":{"lastPairError":"alreadyGroupMember","wirelessPairState":"connectionOk"},)"
         R"("result":"ok"})",
         kNoResponse, false},
        // Waits for nothing: the device's status message over the cable pairs the link.
        {"link1PairingConnect", "{}", "adapter 1A 01 @00 00 | plain 12 02 E6 00 E8", kOk, kOk,
         true},
        {"link2PairingScanResults", "{}", "adapter 1A 02 @00 00 | adapter 17 @00 02",
         R"({"data":[{"isDeviceFirmwareUpdateAvailable":false,"type":"craneArm"}],)"
         R"("result":"ok"})",
         kNoResponse, false},
        {"link2PairingConnect", "{}", "adapter 1A 02 @00 00 | adapter 15 @00 01", kOk, kNoResponse,
         true},
        {"link2PairingStatus", "{}", "adapter 1A 02 @00 00 | adapter 16 @00 00",
         R"({"data":{"canbusPairState":"connecting","lastPairError":"cantAppendDevice"},)"
         R"("result":"ok"})",
         kNoResponse, false},
    };
    for (const auto& row : rows) {
        const auto command = findPairingCommand(row.command);
        ASSERT_NE(command, nullptr) << row.command;
        for (const bool answered : {true, false}) {
            SCOPED_TRACE(std::string(row.command) + (answered ? " answered" : " silent"));
            ScriptedSession session;
            if (answered) {
                answerEverything(session);
            }
            session.flags().pairingBlocked = true;
            EXPECT_EQ(command(session, json::parse(row.request)),
                      answered ? row.answered : row.silent);
            // Every send is made whatever the ones before it got.
            EXPECT_EQ(session.described(), row.sends);
            const bool unblocks =
                row.unblocksOnAnswer && (answered || std::string_view(row.silent) == kOk);
            EXPECT_EQ(session.flags().pairingBlocked, !unblocks);
        }
    }
    for (const char* other : {"link_status_from_device", "disconnect", "linkAdapter_detect", ""}) {
        EXPECT_EQ(findPairingCommand(other), nullptr) << other;
    }
    // A scan's results are not answered while the handler stops.
    for (const char* name : {"wirelessPairingScanResults", "link2PairingScanResults"}) {
        ScriptedSession session;
        answerEverything(session);
        session.isStopping = true;
        EXPECT_EQ(findPairingCommand(name)(session, json::object()), std::nullopt) << name;
    }
}

// The adapter's versions set the record's flags and, when an update is required, the handler's
// gate; unanswered, it leaves both alone; a stop-motion module lifts the gate. The status is
// known either way.
TEST(LinkStatusFromDevice, SetsTheFirmwareFlagsAndAlwaysMarksTheStatusKnown) {
    ScriptedSession session;
    EXPECT_EQ(linkStatusFromDevice(session), "false");
    EXPECT_TRUE(session.flags().statusKnown);
    EXPECT_TRUE(session.applied.empty());
    session.replies["00 03"] = bytes("00 03 09 01 09 00");  // controller 1, radio 0
    EXPECT_EQ(linkStatusFromDevice(session), "true");
    EXPECT_TRUE(session.flags().firmwareUpdateRequired);
    ASSERT_EQ(session.applied.size(), 1u);
    EXPECT_TRUE(session.applied[0].isRadioFirmwareUpdateRequired);
    session.type = model::LinkType::stopMotionModule;  // asks nothing and lifts the gate
    EXPECT_EQ(linkStatusFromDevice(session), "true");
    EXPECT_FALSE(session.flags().firmwareUpdateRequired);
    EXPECT_EQ(session.described(), "adapter 1C @00 03 | adapter 1C @00 03");
}

}  // namespace
}  // namespace kinetra::link
