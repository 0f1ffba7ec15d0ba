#include "bundle/command_plan.hpp"

#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "test_support.hpp"

namespace kinetra::bundle {
namespace {

using test::bundleOf;
using test::hex;
using M = DeviceModel;

const auto kParseError = json::parse(
    R"({"result":"command parsing error. please check the arguments, syntax, naming etc."})");
const auto kOk = json::parse(R"({"result":"ok"})");
const auto kInvalidSetup = json::parse(R"({"result":"invalid setup"})");

struct Planned {
    CommandPlan plan;
    std::vector<std::string> sent;
    /// The reply when every send got an answer (an empty one, for the sends that only count).
    json reply() const {
        return replyWith(std::vector<SendOutcome>(plan.sends.size(), core::Bytes{}));
    }
    json replyWith(const std::vector<SendOutcome>& outcomes) const {
        return buildReply(plan, outcomes);
    }
};

Planned plan(std::string_view text, const DeviceStatusSnapshot& snapshot, KeyposeIdCounters& ids) {
    Planned planned{planCommand(text, snapshot, ids), {}};
    for (const auto& send : planned.plan.sends) {
        planned.sent.push_back(hex(send.message));
    }
    return planned;
}
Planned plan(std::string_view text, const DeviceStatusSnapshot& snapshot) {
    KeyposeIdCounters ids;
    return plan(text, snapshot, ids);
}

TEST(CommandPlan, MalformedRequestsGetTheParseErrorReply) {
    const auto head = bundleOf({M::turretAlpha}, 0x03);
    for (const char* text :
         {R"({"command":5})", R"([1,2])", R"({"command":"status")", R"({"index":1})",
          R"({"command":"status"} // note)", "", R"({"command":"keyposeDeletePose"})",
          R"({"command":"keyposeDeletePose","index":"3"})",
          R"({"command":"keyposeDeletePose","index":1e20})",
          R"({"command":"realTimeMoveFixedDuration","headPan":1})",
          R"({"command":"joystickMove","headPan":"1","headTilt":0})",
          R"({"command":"calibrate","device":5})",
          R"({"command":"calibrate","device":"railUnit","isOnGround":1,"isOnLeftSide":true})",
          R"({"command":"calibrate","device":"craneArm","jibLength":1})",
          R"({"command":"dynamicMoveFixedSpeed","headPan":1})"}) {
        const auto planned = plan(text, head);
        EXPECT_TRUE(planned.plan.sends.empty()) << text;
        EXPECT_EQ(planned.reply(), kParseError) << text;
    }
}

TEST(CommandPlan, UnknownCommandsAndUnpairedFamilies) {
    EXPECT_EQ(plan(R"({"command":"dance"})", bundleOf({M::turretAlpha}, 3)).reply(),
              json::parse(R"({"result":"invalid command"})"));
    const auto floorBase = plan(R"({"command":"motionAbort"})", bundleOf({M::floorBase}, 0));
    EXPECT_TRUE(floorBase.plan.sends.empty());
    EXPECT_EQ(floorBase.reply(), kInvalidSetup);
    // Without a listed device there is no primary to address.
    EXPECT_EQ(plan(R"({"command":"motionAbort"})", DeviceStatusSnapshot{}).reply(), kInvalidSetup);
}

TEST(CommandPlan, ThreeAttemptCommandsTellWhetherTheDeviceAnswered) {
    const auto planned =
        plan(R"({"command":"keyposeDeletePose","index":3})", bundleOf({M::glideTrack}, 0x04));
    EXPECT_EQ(planned.sent, std::vector<std::string>{"03 1D 03 00 23"});
    EXPECT_EQ(planned.plan.sends[0].mode, SendMode::threeAttempts);
    EXPECT_EQ(planned.reply(), kOk);
    EXPECT_EQ(planned.replyWith({std::nullopt}).dump(), R"({"acknowledged":false,"result":"ok"})");
    EXPECT_EQ(planned.replyWith({}).dump(), R"({"acknowledged":false,"result":"ok"})");

    const auto status = plan(R"({"command":"status"})", DeviceStatusSnapshot{});
    EXPECT_EQ(status.sent, std::vector<std::string>{"02 E6 00 E8"});
    EXPECT_EQ(status.reply(), kOk);
}

TEST(CommandPlan, IndexIsSentAsItsLowByte) {
    const auto slider = bundleOf({M::glideTrack}, 0x04);
    EXPECT_EQ(plan(R"({"command":"keyposeDeletePose","index":259})", slider).sent,
              std::vector<std::string>{"03 1D 03 00 23"});
    EXPECT_EQ(plan(R"({"command":"keyposeDeletePose","index":3.9})", slider).sent,
              std::vector<std::string>{"03 1D 03 00 23"});
    EXPECT_EQ(plan(R"({"command":"keyposeDeletePose","index":-1})", slider).sent,
              std::vector<std::string>{"03 1D FF 01 1F"});
}

TEST(KeyposeIds, FirstStoreSendsCafeF00EAndFailuresStillAdvance) {
    KeyposeIdCounters ids;
    const auto head = bundleOf({M::turretAlpha}, 0x03);
    EXPECT_EQ(plan(R"({"command":"keyposeStoreCurrentPose","index":1})", head, ids).sent,
              std::vector<std::string>{"07 05 01 CA FE F0 0E 02 D3"});
    EXPECT_EQ(
        plan(R"({"command":"keyposeStoreCurrentPose","index":1})", bundleOf({M::songbird}, 0), ids)
            .reply(),
        kInvalidSetup);
    const auto third = plan(R"({"command":"keyposeStoreCurrentPose","index":1})", head, ids);
    EXPECT_EQ(third.sent[0].substr(9, 11), "CA FE F0 10");
    // The numeric-data counter is separate, and advances on a refused request too.
    EXPECT_EQ(plan(R"({"command":"keyposeStoreWithNumericData","index":2,"headPan":1})", head, ids)
                  .reply(),
              json::parse(R"x({"result":"Missing axis value(s)"})x"));
    const auto numeric =
        plan(R"({"command":"keyposeStoreWithNumericData","index":2,"headPan":1,"headTilt":2})",
             head, ids);
    EXPECT_EQ(numeric.sent[0].substr(57, 11), "CA FE F0 0F");
}

TEST(KeyposeIds, WrapAtTwoToTheThirtyTwo) {
    KeyposeIdCounters ids(0xFFFFFFFE);
    EXPECT_EQ(ids.nextCurrentPoseId(), 0xFFFFFFFFu);
    EXPECT_EQ(ids.nextCurrentPoseId(), 0u);
    EXPECT_EQ(ids.nextNumericDataId(), 0xFFFFFFFFu);
}

// Nothing else in this suite draws from the process-wide counters.
TEST(KeyposeIds, ProcessCountersStartAtCafeF00D) {
    EXPECT_EQ(keyposeIdCounters().nextCurrentPoseId(), 0xCAFEF00Eu);
    EXPECT_EQ(keyposeIdCounters().nextNumericDataId(), 0xCAFEF00Eu);
}

TEST(KeyposeIds, ConcurrentBundlesNeverShareAnIdentifier) {
    KeyposeIdCounters ids;
    constexpr int kThreads = 4;
    constexpr int kEach = 2000;
    std::vector<std::vector<std::uint32_t>> drawn(kThreads);
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                for (int i = 0; i < kEach; ++i) {
                    drawn[t].push_back(ids.nextCurrentPoseId());
                }
            });
        }
    }
    std::set<std::uint32_t> all;
    for (const auto& one : drawn) {
        all.insert(one.begin(), one.end());
    }
    EXPECT_EQ(all.size(), std::size_t{kThreads * kEach});
    EXPECT_EQ(*all.rbegin(), KeyposeIdCounters::kStart + kThreads * kEach);
}

TEST(RealTimeMove, ChecksFirmwareThenAxes) {
    auto head = bundleOf({M::turretAlpha}, 0x03, 0x03);
    const auto panOnly =
        plan(R"({"command":"realTimeMoveFixedDuration","duration":1,"headPan":1})", head);
    EXPECT_EQ(
        panOnly.reply(),
        json::parse(R"({"result":"Supported realtime axes and command axes are incompatible!"})"));
    EXPECT_TRUE(panOnly.plan.sends.empty());

    const char* both =
        R"({"command":"realTimeMoveFixedDuration","duration":2,"headPan":1.5,"headTilt":-2})";
    const auto moved = plan(both, head);
    EXPECT_EQ(moved.sent,
              std::vector<std::string>{"11 8A 02 0C 80 07 D0 01 00 00 05 DC 09 FF FF F8 30 06 11"});
    EXPECT_EQ(moved.plan.sends[0].mode, SendMode::noWait);
    EXPECT_EQ(moved.replyWith({std::nullopt}), kOk);

    head.devices[0].firmwareVersion = 101;
    EXPECT_EQ(plan(both, head).reply(), json::parse(R"({"result":"Firmware update required!"})"));
    // Only listed devices count; an old record beyond the count is not a device.
    head.devices[0].firmwareVersion = 102;
    head.devices[1] = DeviceEntry{M::swivelMax, 0.5f, 10, 0};
    EXPECT_EQ(plan(both, head).reply(), kOk);
    head.deviceCount = 2;
    EXPECT_EQ(plan(both, head).reply(), json::parse(R"({"result":"Firmware update required!"})"));
}

TEST(CommandPlan, HugeNumbersAreClampedOrSentAsOutOfRange) {
    const auto head = bundleOf({M::turretAlpha}, 0x03, 0x03);
    const auto realTime = plan(
        R"({"command":"realTimeMoveFixedDuration","duration":1,"headPan":1e300,"headTilt":-1e10})",
        head);
    ASSERT_EQ(realTime.sent.size(), 1u);
    EXPECT_EQ(realTime.sent[0].substr(24, 11), "80 00 00 00");
    EXPECT_EQ(realTime.sent[0].substr(39, 11), "80 00 00 00");
    const auto stick =
        plan(R"({"command":"joystickMove","headPan":-1e300,"headTilt":1e300})", head);
    EXPECT_EQ(stick.sent, std::vector<std::string>{"06 0A 83 00 7D 00 01 10"});
}

// Arguments land in their fields: "index" is the target, "index1" and "index2" the loop ends.
TEST(KeyposeMoveCommand, ArgumentsMapToTheirFields) {
    const auto head = bundleOf({M::turretAlpha}, 0x03);
    EXPECT_EQ(
        plan(
            R"({"command":"keyposeMoveFixedDuration","index":2,"duration":0.05,"acceleration":0.5})",
            head)
            .sent[0],
        "11 07 FF 02 00 3E 80 3E 80 FE 17 B8 00 00 00 00 64 04 C6");
    EXPECT_EQ(
        plan(
            R"({"command":"keyposeLoopFixedDuration","index1":1,"index2":3,"duration":2,"acceleration":0.5})",
            bundleOf({M::rollerBaseMax}, 0x04))
            .sent[0],
        "0B 10 01 03 00 00 07 D0 3E 80 01 01 B5");
}

TEST(JoystickCommand, ValidatesAndAnswersOkEvenWithNothingToSend) {
    const auto head = bundleOf({M::turretAlpha}, 0x03);
    EXPECT_EQ(plan(R"({"command":"joystickMove","focus":0})", head).reply(), kInvalidSetup);
    EXPECT_EQ(plan(R"({"command":"joystickMove","headPan":1})", head).reply(), kInvalidSetup);
    const auto moved = plan(R"({"command":"joystickMove","headPan":3.0,"headTilt":0})", head);
    EXPECT_EQ(moved.sent, std::vector<std::string>{"06 0A 7D 00 00 00 00 8D"});
    EXPECT_EQ(moved.plan.sends[0].mode, SendMode::threeAttempts);
    const auto idle = plan(R"({"command":"joystickMove"})", head);
    EXPECT_TRUE(idle.sent.empty());
    EXPECT_EQ(idle.reply(), kOk);
    // Several messages: unacknowledged when any of them went unanswered.
    const auto three = plan(
        R"({"command":"joystickMove","headPan":1,"headTilt":1,"slide":1,"craneMaxPan":1,"craneMaxTilt":1})",
        bundleOf({M::turretAlpha, M::craneArm}, 0x67));
    ASSERT_EQ(three.sent.size(), 3u);
    EXPECT_EQ(three.replyWith({core::Bytes{}, std::nullopt, core::Bytes{}}).dump(),
              R"({"acknowledged":false,"result":"ok"})");
}

TEST(DynamicMoveCommand, StackedBundlesAreRefusedBeforeArgumentsAreRead) {
    const auto stacked = bundleOf({M::turretGamma, M::turretGamma}, 0x03);
    EXPECT_EQ(plan(R"({"command":"dynamicMoveFixedSpeed"})", stacked).reply(), kInvalidSetup);
    EXPECT_EQ(
        plan(R"({"command":"dynamicMoveFixedDuration"})", bundleOf({M::glideTrack}, 4)).reply(),
        kInvalidSetup);
    const auto moved = plan(
        R"({"command":"dynamicMoveFixedDuration","headPan":0.5,"headTilt":-0.25,"acceleration":1,"duration":2})",
        bundleOf({M::turretAlpha}, 0x03));
    EXPECT_EQ(moved.sent, std::vector<std::string>{
                              "12 BC 00 00 3E 80 FF FF E0 C0 00 00 7D 00 00 00 07 D0 06 7E"});
}

TEST(FocusAndCalibrateCommands, NeedTheRightAxesAndDevice) {
    EXPECT_EQ(
        plan(R"({"command":"focusManualMove","deltaEnc":5})", bundleOf({M::turretAlpha}, 0x03))
            .reply(),
        kInvalidSetup);
    EXPECT_EQ(
        plan(R"({"command":"focusManualMove","deltaEnc":5})", bundleOf({M::turretGamma}, 0x0B))
            .reply(),
        kInvalidSetup);
    EXPECT_EQ(
        plan(R"({"command":"focusManualMove","deltaEnc":2.5})", bundleOf({M::lensDriveMax}, 0x08))
            .sent,
        std::vector<std::string>{"06 19 00 00 00 FA 01 19"});
    const auto rail = bundleOf({M::railUnitGen3}, 0x04);
    EXPECT_EQ(
        plan(
            R"({"command":"calibrate","device":"railUnitGen3","isOnGround":false,"isOnLeftSide":false})",
            rail)
            .sent,
        std::vector<std::string>{"03 10 01 00 14"});
    EXPECT_EQ(plan(R"({"command":"calibrate","device":"lensDriveMax"})", rail).reply(),
              kInvalidSetup);
    EXPECT_EQ(plan(R"({"command":"calibrate","device":"glideTrack"})", rail).reply(),
              kInvalidSetup);
    EXPECT_EQ(plan(R"({"command":"calibrate","device":"swivelMax"})", bundleOf({M::craneArm}, 0x64))
                  .reply(),
              kInvalidSetup);
    EXPECT_EQ(plan(R"({"command":"calibrate","device":"craneArm","jibLength":50,"rodLength":20})",
                   bundleOf({M::craneArm}, 0x64))
                  .sent,
              std::vector<std::string>{"0A 45 00 00 02 3E 00 00 00 FA 01 89"});
    EXPECT_EQ(plan(R"({"command":"railUnitInclineWarningConfirm"})", rail).sent,
              std::vector<std::string>{"02 32 00 34"});
}

// A head answer: id 18, index, then pan, tilt, (unused), slide, jib pan, jib tilt, focus.
core::Bytes headAnswer(std::int8_t index) {
    core::Bytes answer{18, static_cast<std::uint8_t>(index)};
    for (const std::int32_t value : {12500, -3000, 999, 250, 90000, 4000, -77}) {
        core::appendI32BE(answer, value);
    }
    return answer;
}

TEST(KeyposeReadCommand, AwaitsTheFamilyAnswerAndChecksTheIndex) {
    const auto head = bundleOf({M::turretAlpha}, 0x6F);
    const auto planned = plan(R"({"command":"keyposeReadNumericValues","index":2})", head);
    ASSERT_EQ(planned.sent, std::vector<std::string>{"03 53 02 00 58"});
    EXPECT_EQ(planned.plan.sends[0].mode, SendMode::awaitAnswer);
    EXPECT_EQ(planned.plan.sends[0].answerId, 18);
    EXPECT_EQ(planned.plan.sends[0].address, 1);

    EXPECT_EQ(planned.replyWith({headAnswer(2)}),
              json::parse(R"({"data":{"index":2,"headPan":12.5,"headTilt":-3.0,"slide":0.25,
                                      "focus":-77,"craneMaxPan":90.0,"craneMaxTilt":4.0},
                              "result":"ok"})"));
    const auto other = planned.replyWith({headAnswer(-3)});
    EXPECT_EQ(other["result"], "read index different");
    EXPECT_EQ(other["data"]["index"], -3);
    EXPECT_EQ(planned.replyWith({std::nullopt}),
              json::parse(R"({"result":"could not get a response"})"));
    auto truncated = headAnswer(2);
    truncated.pop_back();
    EXPECT_EQ(planned.replyWith({truncated}),
              json::parse(R"({"result":"could not get a response"})"));
}

TEST(KeyposeReadCommand, HeadReportsOnlySupportedAxesAndJibOnlyAsAPair) {
    const auto planned = plan(R"({"command":"keyposeReadNumericValues","index":2})",
                              bundleOf({M::turretAlpha}, 0x21));
    EXPECT_EQ(planned.replyWith({headAnswer(2)})["data"],
              json::parse(R"({"index":2,"headPan":12.5})"));
}

TEST(KeyposeReadCommand, OtherFamilies) {
    core::Bytes answer{9, 4};
    for (const std::int32_t value : {-1500, 2000, 16146}) {
        core::appendI32BE(answer, value);
    }
    const auto crane =
        plan(R"({"command":"keyposeReadNumericValues","index":4})", bundleOf({M::craneArm}, 0x64));
    EXPECT_EQ(crane.plan.sends[0].answerId, 9);
    // Jib values from offsets 6 and 10, the tilt negated.
    const auto jib = crane.replyWith({answer})["data"];
    EXPECT_EQ(jib.size(), 3u);
    EXPECT_EQ(jib["craneMaxPan"], 2.0);
    EXPECT_EQ(jib["craneMaxTilt"], -16.146);
    const auto craneSlide =
        plan(R"({"command":"keyposeReadNumericValues","index":4})", bundleOf({M::craneArm}, 0x04));
    EXPECT_EQ(craneSlide.replyWith({answer})["data"], json::parse(R"({"index":4,"slide":1.5})"));
    const auto dolly = plan(R"({"command":"keyposeReadNumericValues","index":4})",
                            bundleOf({M::rollerBase}, 0x04));
    EXPECT_EQ(dolly.plan.sends[0].answerId, 6);
    EXPECT_EQ(dolly.replyWith({answer})["data"], json::parse(R"({"index":4,"slide":-1.5})"));
    const auto lens = plan(R"({"command":"keyposeReadNumericValues","index":4})",
                           bundleOf({M::lensDriveMax}, 0x08));
    EXPECT_EQ(lens.plan.sends[0].answerId, 5);
    const auto data = lens.replyWith({answer})["data"];
    EXPECT_EQ(data["focus"].get<float>(), 2000.0f / 1.6146f);
}

TEST(NumericLimitsCommand, AwaitsAnswer26FromThePrimary) {
    const auto planned = plan(R"({"command":"numericLimitValues"})",
                              bundleOf({M::turretAlpha, M::glideTrack}, 0x05));
    ASSERT_EQ(planned.sent, std::vector<std::string>{"02 B3 00 B5"});
    EXPECT_EQ(planned.plan.sends[0].answerId, 26);
    EXPECT_EQ(planned.plan.sends[0].address, 1);
    const auto reply = planned.replyWith({core::Bytes{26, 6, 0x01, 0, 0, 2, 1, 7}});
    EXPECT_EQ(reply["result"], "ok");
    EXPECT_EQ(reply["data"]["slideMaxLimit"], 20.0);
    EXPECT_EQ(reply["data"]["panStep"], 0.00061);
    EXPECT_EQ(planned.replyWith({core::Bytes{26, 12, 0x01, 0, 0, 0}}).dump(),
              R"({"data":null,"result":"ok"})");
    EXPECT_EQ(planned.replyWith({std::nullopt}),
              json::parse(R"({"result":"could not get a response"})"));
    EXPECT_EQ(planned.replyWith({core::Bytes{26, 6, 0x01, 0, 0, 3, 1}}),
              json::parse(R"({"result":"could not get a response"})"));
    EXPECT_EQ(plan(R"({"command":"numericLimitValues"})", bundleOf({M::songbird}, 0))
                  .plan.sends[0]
                  .answerId,
              0);
}

}  // namespace
}  // namespace kinetra::bundle
