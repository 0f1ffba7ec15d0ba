// Planning bundle commands: arguments read and checked against the snapshot, send modes, the
// replies built from the outcome of the sends, and the key-pose identifiers.
#include "bundle/command_plan.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <thread>

#include "test_support.hpp"

namespace kinetra::bundle {
namespace {

using test::bundleOf;
using test::hex;
using M = DeviceModel;

constexpr auto kParseError =
    R"({"result":"command parsing error. please check the arguments, syntax, naming etc."})";
constexpr auto kOk = R"({"result":"ok"})";
constexpr auto kInvalidSetup = R"({"result":"invalid setup"})";
constexpr auto kUnacknowledged = R"({"acknowledged":false,"result":"ok"})";
constexpr auto kNoResponse = R"({"result":"could not get a response"})";

struct Planned {
    CommandPlan plan;
    std::string sent;  // the messages in hex, joined by " | "
    /// The reply when every send got an (empty) answer.
    std::string reply() const {
        return replyWith(std::vector<SendOutcome>(plan.sends.size(), core::Bytes{}));
    }
    std::string replyWith(const std::vector<SendOutcome>& outcomes) const {
        return buildReply(plan, outcomes).dump();
    }
};

Planned plan(std::string_view text, const DeviceStatusSnapshot& snapshot, KeyposeIdCounters& ids) {
    Planned planned{planCommand(text, snapshot, ids), {}};
    for (const auto& send : planned.plan.sends) {
        planned.sent += (planned.sent.empty() ? "" : " | ") + hex(send.message);
    }
    return planned;
}
Planned plan(std::string_view text, const DeviceStatusSnapshot& snapshot) {
    KeyposeIdCounters ids;
    return plan(text, snapshot, ids);
}

// Malformed JSON, a request that is not an object, a missing or mistyped "command" or argument,
// an index beyond 32 bits: the parse-error reply, nothing sent.
TEST(CommandPlan, MalformedRequestsGetTheParseErrorReply) {
    const auto head = bundleOf({M::turretAlpha}, 0x03);
    for (const char* text :
         {R"({"command":5})", R"([1,2])", R"({"command":"status")", R"({"index":1})",
          R"({"command":"status"} // note)", R"({"command":"keyposeDeletePose"})",
          R"({"command":"keyposeDeletePose","index":"3"})",
          R"({"command":"keyposeDeletePose","index":1e20})",
          R"({"command":"realTimeMoveFixedDuration","headPan":1})",
          R"({"command":"joystickMove","headPan":"1","headTilt":0})",
          R"({"command":"calibrate","device":5})",
          R"({"command":"calibrate","device":"railUnit","isOnGround":1,"isOnLeftSide":true})",
          R"({"command":"calibrate","device":"craneArm","jibLength":1})",
          R"({"command":"dynamicMoveFixedSpeed","headPan":1})"}) {
        const auto planned = plan(text, head);
        EXPECT_TRUE(planned.sent.empty()) << text;
        EXPECT_EQ(planned.reply(), kParseError) << text;
    }
}

// Commands sent with three attempts answer "ok", with "acknowledged": false when a send went
// unanswered; the index travels as its low byte.
TEST(CommandPlan, ThreeAttemptCommandsTellWhetherTheDeviceAnswered) {
    const auto slider = bundleOf({M::glideTrack}, 0x04);
    const auto planned = plan(R"({"command":"keyposeDeletePose","index":3})", slider);
    EXPECT_EQ(planned.sent, "03 1D 03 00 23");
    EXPECT_EQ(planned.plan.sends[0].mode, SendMode::threeAttempts);
    EXPECT_EQ(planned.reply(), kOk);
    EXPECT_EQ(planned.replyWith({std::nullopt}), kUnacknowledged);
    EXPECT_EQ(planned.replyWith({}), kUnacknowledged);
    EXPECT_EQ(plan(R"({"command":"keyposeDeletePose","index":259.9})", slider).sent,
              "03 1D 03 00 23");
    EXPECT_EQ(plan(R"({"command":"keyposeDeletePose","index":-1})", slider).sent, "03 1D FF 01 1F");
    EXPECT_EQ(plan(R"({"command":"status"})", DeviceStatusSnapshot{}).sent, "02 E6 00 E8");
    EXPECT_EQ(plan(R"({"command":"dance"})", slider).reply(), R"({"result":"invalid command"})");
    // No family, or no device listed: no primary to address.
    EXPECT_EQ(plan(R"({"command":"motionAbort"})", bundleOf({M::floorBase}, 0)).reply(),
              kInvalidSetup);
    EXPECT_EQ(plan(R"({"command":"motionAbort"})", DeviceStatusSnapshot{}).reply(), kInvalidSetup);
}

// The first store sends 0xCAFEF00E; a refused store still draws its identifier; the numeric
// counter is separate; both wrap at 2^32.
TEST(KeyposeIds, FirstStoreSendsCafeF00EAndFailuresStillAdvance) {
    KeyposeIdCounters ids;
    const auto head = bundleOf({M::turretAlpha}, 0x03);
    const auto store = R"({"command":"keyposeStoreCurrentPose","index":1})";
    EXPECT_EQ(plan(store, head, ids).sent, "07 05 01 CA FE F0 0E 02 D3");
    EXPECT_EQ(plan(store, bundleOf({M::songbird}, 0), ids).reply(), kInvalidSetup);
    EXPECT_EQ(plan(store, head, ids).sent.substr(9, 11), "CA FE F0 10");
    const auto numeric = R"({"command":"keyposeStoreWithNumericData","index":2,"headPan":1)";
    EXPECT_EQ(plan(std::string(numeric) + "}", head, ids).reply(),
              R"x({"result":"Missing axis value(s)"})x");
    EXPECT_EQ(plan(std::string(numeric) + R"(,"headTilt":2})", head, ids).sent.substr(57, 11),
              "CA FE F0 0F");
    KeyposeIdCounters nearTheEnd(0xFFFFFFFE);
    EXPECT_EQ(nearTheEnd.nextCurrentPoseId(), 0xFFFFFFFFu);
    EXPECT_EQ(nearTheEnd.nextCurrentPoseId(), 0u);
    EXPECT_EQ(nearTheEnd.nextNumericDataId(), 0xFFFFFFFFu);
    // Nothing else in this suite draws from the process-wide counters.
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

// Firmware of every listed device first, then the axes; sent without waiting. Numbers beyond the
// float range are sent as out of range, or clamped by the joystick.
TEST(RealTimeMove, ChecksFirmwareThenAxes) {
    auto head = bundleOf({M::turretAlpha}, 0x03, 0x03);
    EXPECT_EQ(
        plan(R"({"command":"realTimeMoveFixedDuration","duration":1,"headPan":1})", head).reply(),
        R"({"result":"Supported realtime axes and command axes are incompatible!"})");
    const auto both =
        R"({"command":"realTimeMoveFixedDuration","duration":2,"headPan":1.5,"headTilt":-2})";
    const auto moved = plan(both, head);
    EXPECT_EQ(moved.sent, "11 8A 02 0C 80 07 D0 01 00 00 05 DC 09 FF FF F8 30 06 11");
    EXPECT_EQ(moved.plan.sends[0].mode, SendMode::noWait);
    EXPECT_EQ(moved.replyWith({std::nullopt}), kOk);
    const auto huge = plan(
        R"({"command":"realTimeMoveFixedDuration","duration":1,"headPan":1e300,"headTilt":-1e10})",
        head);
    EXPECT_EQ(huge.sent.substr(24, 11), "80 00 00 00");
    EXPECT_EQ(huge.sent.substr(39, 11), "80 00 00 00");
    EXPECT_EQ(plan(R"({"command":"joystickMove","headPan":-1e300,"headTilt":1e300})", head).sent,
              "06 0A 83 00 7D 00 01 10");

    const auto firmwareTooOld = R"({"result":"Firmware update required!"})";
    head.devices[0].firmwareVersion = 101;
    EXPECT_EQ(plan(both, head).reply(), firmwareTooOld);
    head.devices[0].firmwareVersion = 102;
    head.devices[1] = DeviceEntry{M::swivelMax, 0.5f, 10, 0};  // beyond the count: no device
    EXPECT_EQ(plan(both, head).reply(), kOk);
    head.deviceCount = 2;
    EXPECT_EQ(plan(both, head).reply(), firmwareTooOld);
}

// "index" is the target of a move; "index1" and "index2" are the ends of a loop.
TEST(KeyposeMoveCommand, ArgumentsMapToTheirFields) {
    EXPECT_EQ(
        plan(
            R"({"command":"keyposeMoveFixedDuration","index":2,"duration":0.05,"acceleration":0.5})",
            bundleOf({M::turretAlpha}, 0x03))
            .sent,
        "11 07 FF 02 00 3E 80 3E 80 FE 17 B8 00 00 00 00 64 04 C6");
    EXPECT_EQ(
        plan(
            R"({"command":"keyposeLoopFixedSpeed","index1":1,"index2":3,"speed":0.25,"acceleration":0.5})",
            bundleOf({M::lensDriveMax}, 0x08))
            .sent,
        "11 0C 03 01 01 3E 80 3E 80 00 00 1F 40 FF FF FC 18 05 0F");
}

// A joystick with nothing to move answers "ok"; several messages are unacknowledged when any
// went unanswered.
TEST(JoystickCommand, ValidatesAndAnswersOkEvenWithNothingToSend) {
    const auto head = bundleOf({M::turretAlpha}, 0x03);
    EXPECT_EQ(plan(R"({"command":"joystickMove","focus":0})", head).reply(), kInvalidSetup);
    EXPECT_EQ(plan(R"({"command":"joystickMove","headPan":1})", head).reply(), kInvalidSetup);
    const auto idle = plan(R"({"command":"joystickMove"})", head);
    EXPECT_TRUE(idle.sent.empty());
    EXPECT_EQ(idle.reply(), kOk);
    const auto three = plan(
        R"({"command":"joystickMove","headPan":1,"headTilt":1,"slide":1,"craneMaxPan":1,"craneMaxTilt":1})",
        bundleOf({M::turretAlpha, M::craneArm}, 0x67));
    ASSERT_EQ(std::count(three.sent.begin(), three.sent.end(), '|'), 2);
    EXPECT_EQ(three.plan.sends[1].mode, SendMode::threeAttempts);
    EXPECT_EQ(three.replyWith({core::Bytes{}, std::nullopt, core::Bytes{}}), kUnacknowledged);
}

// Checked before any argument is read: a stacked bundle answers the same whatever it got.
TEST(DynamicMoveCommand, StackedBundlesAreRefusedBeforeArgumentsAreRead) {
    EXPECT_EQ(plan(R"({"command":"dynamicMoveFixedSpeed"})",
                   bundleOf({M::turretGamma, M::turretGamma}, 0x03))
                  .reply(),
              kInvalidSetup);
    EXPECT_EQ(
        plan(R"({"command":"dynamicMoveFixedDuration"})", bundleOf({M::glideTrack}, 4)).reply(),
        kInvalidSetup);
    EXPECT_EQ(
        plan(
            R"({"command":"dynamicMoveFixedDuration","headPan":0.5,"headTilt":-0.25,"acceleration":1,"duration":2})",
            bundleOf({M::turretAlpha}, 0x03))
            .sent,
        "12 BC 00 00 3E 80 FF FF E0 C0 00 00 7D 00 00 00 07 D0 06 7E");
}

// Focus needs the focus axis; calibrate reads the arguments of its device, in their order.
TEST(FocusAndCalibrateCommands, ReadTheirArgumentsAndNeedTheFocusAxis) {
    const auto focus = R"({"command":"focusManualMove","deltaEnc":2.5})";
    EXPECT_EQ(plan(focus, bundleOf({M::turretAlpha}, 0x03)).reply(), kInvalidSetup);
    EXPECT_EQ(plan(focus, bundleOf({M::lensDriveMax}, 0x08)).sent, "06 19 00 00 00 FA 01 19");
    const auto rail = bundleOf({M::railUnitGen3}, 0x04);
    EXPECT_EQ(
        plan(
            R"({"command":"calibrate","device":"railUnit","isOnGround":false,"isOnLeftSide":true})",
            rail)
            .sent,
        "03 10 00 00 13");
    EXPECT_EQ(plan(R"({"command":"calibrate","device":"glideTrack"})", rail).reply(),
              kInvalidSetup);
    EXPECT_EQ(plan(R"({"command":"calibrate","device":"craneArm","jibLength":50,"rodLength":20})",
                   bundleOf({M::craneArm}, 0x64))
                  .sent,
              "0A 45 00 00 02 3E 00 00 00 FA 01 89");
}

// A head answer: id 18, index, then pan, tilt, (unused), slide, jib pan, jib tilt, focus.
core::Bytes headAnswer(std::int8_t index) {
    core::Bytes answer{18, static_cast<std::uint8_t>(index)};
    for (const std::int32_t value : {12500, -3000, 999, 250, 90000, 4000, -77}) {
        core::appendI32BE(answer, value);
    }
    return answer;
}

// The read awaits the family's answer from the primary; the head reports its supported axes
// (the jib only as a pair); an answer for another index is not "ok"; a short one is no answer.
TEST(KeyposeReadCommand, AwaitsTheFamilyAnswerAndChecksTheIndex) {
    const auto read = R"({"command":"keyposeReadNumericValues","index":2})";
    const auto planned = plan(read, bundleOf({M::turretAlpha}, 0x6F));
    ASSERT_EQ(planned.sent, "03 53 02 00 58");
    EXPECT_EQ(planned.plan.sends[0].mode, SendMode::awaitAnswer);
    EXPECT_EQ(planned.plan.sends[0].answerId, 18);
    EXPECT_EQ(planned.plan.sends[0].address, 1);
    EXPECT_EQ(json::parse(planned.replyWith({headAnswer(2)})),
              json::parse(R"({"data":{"index":2,"headPan":12.5,"headTilt":-3.0,"slide":0.25,
                                      "focus":-77,"craneMaxPan":90.0,"craneMaxTilt":4.0},
                              "result":"ok"})"));
    EXPECT_EQ(plan(read, bundleOf({M::turretAlpha}, 0x21)).replyWith({headAnswer(2)}),
              R"({"data":{"headPan":12.5,"index":2},"result":"ok"})");
    const auto other = json::parse(planned.replyWith({headAnswer(-3)}));
    EXPECT_EQ(other["result"], "read index different");
    EXPECT_EQ(other["data"]["index"], -3);
    EXPECT_EQ(planned.replyWith({std::nullopt}), kNoResponse);
    auto truncated = headAnswer(2);
    truncated.pop_back();
    EXPECT_EQ(planned.replyWith({truncated}), kNoResponse);
}

// Slider and dolly report the slide at offset 2, the crane arm its jib (tilt negated) or its
// slide negated, the lens its focus in units.
TEST(KeyposeReadCommand, OtherFamilies) {
    core::Bytes answer{9, 4};
    for (const std::int32_t value : {-1500, 2000, 16146}) {
        core::appendI32BE(answer, value);
    }
    const auto read = [&](M primary, std::uint8_t supported) {
        const auto planned = plan(R"({"command":"keyposeReadNumericValues","index":4})",
                                  bundleOf({primary}, supported));
        return std::to_string(planned.plan.sends[0].answerId) + " " + planned.replyWith({answer});
    };
    EXPECT_EQ(read(M::craneArm, 0x64),
              R"(9 {"data":{"craneMaxPan":2.0,"craneMaxTilt":-16.146,"index":4},"result":"ok"})");
    EXPECT_EQ(read(M::craneArm, 0x04), R"(9 {"data":{"index":4,"slide":1.5},"result":"ok"})");
    EXPECT_EQ(read(M::rollerBase, 0x04), R"(6 {"data":{"index":4,"slide":-1.5},"result":"ok"})");
    EXPECT_EQ(read(M::lensDriveMax, 0x08),
              R"(5 {"data":{"focus":1238.6969,"index":4},"result":"ok"})");
}

// The limits answer 26 from the primary, decoded; a short one is no answer.
TEST(NumericLimitsCommand, AwaitsAnswer26FromThePrimary) {
    const auto planned = plan(R"({"command":"numericLimitValues"})",
                              bundleOf({M::turretAlpha, M::glideTrack}, 0x05));
    ASSERT_EQ(planned.sent, "02 B3 00 B5");
    EXPECT_EQ(planned.plan.sends[0].answerId, 26);
    EXPECT_EQ(planned.plan.sends[0].address, 1);
    EXPECT_EQ(
        planned.replyWith({core::Bytes{26, 4, 0x01, 0, 0, 1, 7}}),
        R"({"data":{"slideMaxLimit":20.0,"slideMinLimit":0.0,"slideStep":2.22e-05},"result":"ok"})");
    EXPECT_EQ(planned.replyWith({core::Bytes{26, 12, 0x01, 0, 0, 0}}),
              R"({"data":null,"result":"ok"})");
    EXPECT_EQ(planned.replyWith({std::nullopt}), kNoResponse);
    EXPECT_EQ(planned.replyWith({core::Bytes{26, 6, 0x01, 0, 0, 3, 1}}), kNoResponse);
}

}  // namespace
}  // namespace kinetra::bundle
