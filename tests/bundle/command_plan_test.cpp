// Planning bundle commands: arguments read and checked against the snapshot, send modes, the
// replies built from the outcome of the sends, and the key-pose identifiers.
#include "bundle/command_plan.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include "bundle/status_snapshot.hpp"
#include "support/hex.hpp"

namespace kinetra::bundle {
namespace {

using kinetra::testing::hex;
using M = model::DeviceModel;

/// A snapshot listing `models` (firmware new enough for everything) with the given axis sets.
DeviceStatusSnapshot bundleOf(std::initializer_list<M> models, std::uint8_t supported,
                              std::uint8_t realTime = 0) {
    DeviceStatusSnapshot s;
    for (const M model : models) {
        s.devices[s.deviceCount].model = model;
        s.devices[s.deviceCount].firmwareVersion = 200;
        ++s.deviceCount;
    }
    s.supportedAxes = supported;
    s.realTimeSupportedAxes = realTime;
    return s;
}

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

Planned plan(std::string_view text, const DeviceStatusSnapshot& snapshot) {
    KeyposeIdCounters ids;
    Planned planned{planCommand(text, snapshot, ids), {}};
    for (const auto& send : planned.plan.sends) {
        planned.sent += (planned.sent.empty() ? "" : " | ") + hex(send.message);
    }
    return planned;
}

// What a command does on a bundle: the messages it plans in hex (joined by " | "), or its reply
// when it plans none.
std::string outcome(std::string_view text, const DeviceStatusSnapshot& snapshot) {
    const auto planned = plan(text, snapshot);
    return planned.sent.empty() ? planned.reply() : planned.sent;
}

// Each command reads its arguments into their fields and checks them against the bundle.
TEST(CommandPlan, EachCommandReadsItsArgumentsAndChecksTheBundle) {
    const auto head = bundleOf({M::turretAlpha}, 0x03);
    const auto realTimeHead = bundleOf({M::turretAlpha}, 0x03, 0x03);
    const auto stacked = bundleOf({M::turretGamma, M::turretGamma}, 0x03);
    const auto slider = bundleOf({M::glideTrack}, 0x04);
    const auto rail = bundleOf({M::railUnitGen3}, 0x04);
    const auto crane = bundleOf({M::craneArm}, 0x64);
    const auto lens = bundleOf({M::lensDriveMax}, 0x08);
    const auto floorBase = bundleOf({M::floorBase}, 0);
    const DeviceStatusSnapshot none;
    const struct {
        const char* request;
        const DeviceStatusSnapshot& bundle;
        const char* outcome;
    } rows[] = {
        // Malformed JSON, not an object, a missing or mistyped "command" or argument: the
        // parse-error reply, nothing sent.
        {R"({"command":5})", head, kParseError},
        {R"([1,2])", head, kParseError},
        {R"({"command":"status")", head, kParseError},
        {R"({"index":1})", head, kParseError},
        {R"({"command":"status"} // note)", head, kParseError},
        {R"({"command":"keyposeDeletePose"})", head, kParseError},
        {R"({"command":"realTimeMoveFixedDuration","headPan":1})", head, kParseError},
        {R"({"command":"calibrate","device":5})", head, kParseError},
        {R"({"command":"calibrate","device":"railUnit","isOnGround":1,"isOnLeftSide":true})", head,
         kParseError},
        {R"({"command":"calibrate","device":"craneArm","jibLength":1})", head, kParseError},
        {R"({"command":"dynamicMoveFixedSpeed","headPan":1})", head, kParseError},
        {R"({"command":"dance"})", slider, R"({"result":"invalid command"})"},
        {R"({"command":"status"})", none, "02 E6 00 E8"},
        // No family, or no device listed: no primary to address.
        {R"({"command":"motionAbort"})", floorBase, kInvalidSetup},
        {R"({"command":"motionAbort"})", none, kInvalidSetup},
        // The index is truncated toward zero and travels as one byte; a fresh counter's first
        // store draws identifier 0xCAFEF00E.
        {R"({"command":"keyposeDeletePose","index":3.9})", slider, "03 1D 03 00 23"},
        {R"({"command":"keyposeStoreCurrentPose","index":1})", head, "07 05 01 CA FE F0 0E 02 D3"},
        // "index" is the target of a move; "index1" and "index2" are the ends of a loop.
        {R"({"command":"keyposeMoveFixedDuration","index":2,"duration":0.05,"acceleration":0.5})",
         head, "11 07 FF 02 00 3E 80 3E 80 FE 17 B8 00 00 00 00 64 04 C6"},
        {R"({"command":"keyposeLoopFixedSpeed","index1":1,"index2":3,"speed":0.25,"acceleration":0.5})",
         lens, "11 0C 03 01 01 3E 80 3E 80 00 00 1F 40 FF FF FC 18 05 0F"},
        // A stacked bundle or another family is refused before any argument is read.
        {R"({"command":"dynamicMoveFixedSpeed"})", stacked, kInvalidSetup},
        {R"({"command":"dynamicMoveFixedDuration"})", slider, kInvalidSetup},
        {R"({"command":"dynamicMoveFixedDuration","headPan":0.5,"headTilt":-0.25,"acceleration":1,"duration":2})",
         head, "12 BC 00 00 3E 80 FF FF E0 C0 00 00 7D 00 00 00 07 D0 06 7E"},
        // Focus needs the focus axis; calibrate reads its device's arguments, in their order.
        {R"({"command":"focusManualMove","deltaEnc":2.5})", head, kInvalidSetup},
        {R"({"command":"focusManualMove","deltaEnc":2.5})", lens, "06 19 00 00 00 FA 01 19"},
        {R"({"command":"calibrate","device":"railUnit","isOnGround":false,"isOnLeftSide":true})",
         rail, "03 10 00 00 13"},
        {R"({"command":"calibrate","device":"railUnitGen3","isOnGround":true,"isOnLeftSide":false})",
         rail, "03 10 03 00 16"},
        {R"({"command":"calibrate","device":"glideTrack"})", rail, kInvalidSetup},
        {R"({"command":"calibrate","device":"craneArm","jibLength":50,"rodLength":20})", crane,
         "0A 45 00 00 02 3E 00 00 00 FA 01 89"},
        // The joystick refuses focus and half of the head's pair; nothing to move answers "ok".
        {R"({"command":"joystickMove","focus":0})", head, kInvalidSetup},
        {R"({"command":"joystickMove","headPan":1})", head, kInvalidSetup},
        {R"({"command":"joystickMove"})", head, kOk},
        // Beyond the float range: clamped by the joystick, out of range in a real-time move.
        {R"({"command":"joystickMove","headPan":-1e300,"headTilt":1e300})", head,
         "06 0A 83 00 7D 00 01 10"},
        {R"({"command":"realTimeMoveFixedDuration","duration":1,"headPan":1e300,"headTilt":-1e10})",
         realTimeHead, R"({"member":"headPan","result":"value out of range"})"},
        {R"({"command":"realTimeMoveFixedDuration","duration":1,"headPan":1})", realTimeHead,
         R"({"result":"Supported realtime axes and command axes are incompatible!"})"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(outcome(row.request, row.bundle), row.outcome) << row.request;
    }
}

// Requests the value test below sets one member of.
constexpr auto kRealTime =
    R"({"command":"realTimeMoveFixedDuration","duration":2,"headPan":0,"headTilt":0})";
constexpr auto kRemove = R"({"command":"keyposeDeletePose","index":0})";
constexpr auto kMoveBySpeed =
    R"({"command":"keyposeMoveFixedSpeed","index":0,"speed":1,"acceleration":1})";
constexpr auto kFocusMove = R"({"command":"focusManualMove","deltaEnc":0})";
constexpr auto kCalibrateCrane =
    R"({"command":"calibrate","device":"craneArm","jibLength":0,"rodLength":7273})";
constexpr auto kDynamicBySpeed =
    R"({"command":"dynamicMoveFixedSpeed","headPan":0,"headTilt":0,"acceleration":0,)"
    R"("speed":1})";

// Every value is checked against the field it is scaled into before any message is built: at
// its limit it is sent, just beyond it the command is refused naming the member, and nothing is
// planned (so nothing reaches the line). Limits are the float nearest the field's end. Only JSON
// numbers are read as numbers: a boolean (true is no full deflection), a text or a null is a
// parse error with nothing sent, and an integer plans what the same float plans, -0 as 0.
TEST(CommandPlan, ValuesTheWireCannotCarryAreRefusedNamingTheMemberAndOnlyNumbersAreRead) {
    const auto head = bundleOf({M::turretAlpha}, 0x03, 0x03);
    const auto focusHead = bundleOf({M::turretAlpha}, 0x0B, 0x0B);
    auto lens = bundleOf({M::lensDriveMax}, 0x08, 0x08);
    lens.keyposeSlotLayout = 3;
    const auto slider = bundleOf({M::glideTrack}, 0x04);
    const auto dolly = bundleOf({M::rollerBase}, 0x04);
    const auto crane = bundleOf({M::craneArm}, 0x64);
    const auto craneJib = bundleOf({M::craneArm}, 0x60);
    const auto read = R"({"command":"keyposeReadNumericValues","index":0})";
    const auto storeNumeric = R"({"command":"keyposeStoreWithNumericData","index":0})";
    const auto storeFocus = R"({"command":"keyposeStoreWithNumericData","index":0,"focus":1})";
    const auto storeHead =
        R"({"command":"keyposeStoreWithNumericData","index":0,"headPan":0,"headTilt":0})";
    const auto storeJib =
        R"({"command":"keyposeStoreWithNumericData","index":0,"craneMaxPan":0,"craneMaxTilt":0})";
    const auto moveByDuration =
        R"({"command":"keyposeMoveFixedDuration","index":0,"duration":2,"acceleration":1})";
    const auto loopBySpeed =
        R"({"command":"keyposeLoopFixedSpeed","index1":0,"index2":1,"speed":1,"acceleration":1})";
    const auto loopByDuration =
        R"({"command":"keyposeLoopFixedDuration","index1":0,"index2":1,"duration":1,)"
        R"("acceleration":1})";
    const auto dynamicByDuration =
        R"({"command":"dynamicMoveFixedDuration","headPan":0,"headTilt":0,"acceleration":0,)"
        R"("duration":1})";
    const struct {
        const char* request;
        const DeviceStatusSnapshot& bundle;
        const char* member;
        const char* limit;   // a value that is sent, or nullptr
        const char* beyond;  // a value refused naming the member, or nullptr
    } rows[] = {
        // Real-time moves: milliseconds in 16 bits, thousandths (focus in lens steps) in 32.
        {kRealTime, head, "duration", "65.535", "65.536"},
        {kRealTime, head, "duration", "-0", "-0.001"},
        {kRealTime, head, "headPan", "2147483.5", "2147483.75"},
        {kRealTime, head, "headTilt", "-2147483.5", "-2147483.75"},
        {kRealTime, focusHead, "focus", "1330040.625", "1330040.75"},
        // Key-pose slots: six, or three where the status says so; never the low byte of more.
        {kRemove, slider, "index", "5", "6"},
        {kRemove, head, "index", nullptr, "257"},
        {read, head, "index", nullptr, "-1"},
        {read, head, "index", nullptr, "1e20"},
        {storeFocus, lens, "index", "2", "3"},
        {loopBySpeed, lens, "index1", "2", "3"},
        {loopByDuration, lens, "index2", "2", "3"},
        // Key-pose moves: acceleration in signed 16 bits, durations never negative, speeds in
        // each family's own scale.
        {moveByDuration, head, "acceleration", "1.0239999", "1.024"},
        {moveByDuration, head, "acceleration", "-1.024", nullptr},
        {moveByDuration, head, "duration", "2147483.5", nullptr},
        {moveByDuration, slider, "duration", nullptr, "2147483.75"},
        {moveByDuration, dolly, "duration", nullptr, "-1"},
        {kMoveBySpeed, head, "speed", "67.10886", "67.10887"},
        {loopBySpeed, lens, "speed", "-67108.86", "-67108.87"},
        {kMoveBySpeed, crane, "speed", "2006994", "2006994.125"},
        {kMoveBySpeed, dolly, "speed", "2147.4836", "2147.4839"},
        // Stored poses: thousandths, the head's focus in plain steps, the lens's in its own.
        {storeHead, head, "headPan", nullptr, "-2147483.75"},
        {storeHead, focusHead, "focus", "2147483520", "2147483648"},
        {storeFocus, lens, "focus", nullptr, "1330040704"},
        {storeNumeric, slider, "slide", nullptr, "2147483.75"},
        {storeJib, craneJib, "craneMaxTilt", nullptr, "2147483.75"},
        // Focus steps, crane lengths, and the head's dynamic moves.
        {kFocusMove, lens, "deltaEnc", "21474836", "21474838"},
        {kFocusMove, focusHead, "deltaEnc", "-2147483648", "-2147483904"},
        {kCalibrateCrane, head, "jibLength", "6546", "6547"},
        {kCalibrateCrane, head, "rodLength", nullptr, "-8"},
        {kCalibrateCrane, crane, "jibLength", nullptr, "300000000"},
        {kDynamicBySpeed, head, "headPan", "67108.86", "67108.87"},
        {kDynamicBySpeed, head, "speed", "1073.7418", "1073.7420"},
        {dynamicByDuration, head, "acceleration", nullptr, "-67108.87"},
        {dynamicByDuration, head, "duration", nullptr, "-0.5"},
        {R"({"command":"joystickMove","headPan":0,"headTilt":0})", head, "headPan", "1", nullptr},
    };
    for (const auto& row : rows) {
        auto request = json::parse(row.request);
        if (row.limit != nullptr) {
            request[row.member] = json::parse(row.limit);
            const auto planned = plan(request.dump(), row.bundle);
            EXPECT_FALSE(planned.sent.empty()) << request << ": " << planned.reply();
            request[row.member] = request[row.member].get<double>() + 0.0;  // -0 becomes 0
            EXPECT_EQ(plan(request.dump(), row.bundle).sent, planned.sent) << request;
        }
        if (row.beyond != nullptr) {
            request[row.member] = json::parse(row.beyond);
            const auto planned = plan(request.dump(), row.bundle);
            EXPECT_EQ(planned.sent, "") << request;
            EXPECT_EQ(planned.reply(),
                      json({{"member", row.member}, {"result", "value out of range"}}).dump())
                << request;
        }
        for (const char* notANumber : {"true", "false", R"("0")", "null"}) {
            request[row.member] = json::parse(notANumber);
            const auto planned = plan(request.dump(), row.bundle);
            EXPECT_EQ(planned.sent, "") << request;
            EXPECT_EQ(planned.reply(), kParseError) << request;
        }
    }
}

// Acknowledged commands answer "ok", with "acknowledged": false when a send was not
// acknowledged. A real-time move is sent without waiting, once every listed device has its
// minimum firmware (a record beyond the count is no device; a slider has no minimum).
TEST(CommandPlan, AcknowledgedCommandsTellWhetherTheDeviceAcknowledged) {
    const auto planned =
        plan(R"({"command":"keyposeDeletePose","index":3})", bundleOf({M::glideTrack}, 0x04));
    EXPECT_EQ(planned.plan.sends[0].mode, SendMode::acknowledged);
    EXPECT_EQ(planned.reply(), kOk);
    EXPECT_EQ(planned.replyWith({std::nullopt}), kUnacknowledged);
    EXPECT_EQ(planned.replyWith({}), kUnacknowledged);
    const auto three = plan(
        R"({"command":"joystickMove","headPan":1,"headTilt":1,"slide":1,"craneMaxPan":1,"craneMaxTilt":1})",
        bundleOf({M::turretAlpha, M::craneArm}, 0x67));
    ASSERT_EQ(std::count(three.sent.begin(), three.sent.end(), '|'), 2);
    EXPECT_EQ(three.plan.sends[1].mode, SendMode::acknowledged);
    EXPECT_EQ(three.replyWith({core::Bytes{}, std::nullopt, core::Bytes{}}), kUnacknowledged);
    // A relative move is written once at most: a retry would add it up twice.
    for (const auto& [request, bundle] :
         {std::pair{R"({"command":"focusManualMove","deltaEnc":2.5})",
                    bundleOf({M::lensDriveMax}, 0x08)},
          std::pair{R"({"command":"dynamicMoveFixedSpeed","headPan":1,"headTilt":0,)"
                    R"("acceleration":1,"speed":1})",
                    bundleOf({M::turretAlpha}, 0x03)}}) {
        const auto once = plan(request, bundle);
        ASSERT_EQ(once.plan.sends.size(), 1u) << request;
        EXPECT_EQ(once.plan.sends[0].mode, SendMode::acknowledgedOnce) << request;
        EXPECT_EQ(once.replyWith({std::nullopt}), kUnacknowledged);
    }
    const auto realTime =
        R"({"command":"realTimeMoveFixedDuration","duration":2,"headPan":1.5,"headTilt":-2})";
    auto head = bundleOf({M::turretAlpha}, 0x03, 0x03);
    const auto moved = plan(realTime, head);
    EXPECT_EQ(moved.sent, "11 8A 02 0C 80 07 D0 01 00 00 05 DC 09 FF FF F8 30 06 11");
    EXPECT_EQ(moved.plan.sends[0].mode, SendMode::noWait);
    EXPECT_EQ(moved.replyWith({std::nullopt}), kOk);
    const auto tooOld = R"({"result":"Firmware update required!"})";
    head.devices[0].firmwareVersion = 101;
    EXPECT_EQ(plan(realTime, head).reply(), tooOld);
    head.devices[0].firmwareVersion = 102;
    head.devices[1] = DeviceEntry{M::swivelMax, 0.5f, 10, 0};
    EXPECT_EQ(plan(realTime, head).reply(), kOk);
    head.deviceCount = 2;
    EXPECT_EQ(plan(realTime, head).reply(), tooOld);
    head.devices[1] = DeviceEntry{M::glideTrack, 0.5f, 1, 0};
    EXPECT_EQ(plan(realTime, head).reply(), kOk);
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
// The limits await answer 26 from the primary, decoded.
TEST(AwaitedAnswers, KeyposeReadChecksTheIndexAndLimitsAreDecoded) {
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

    const auto limits = plan(R"({"command":"numericLimitValues"})",
                             bundleOf({M::turretAlpha, M::glideTrack}, 0x05));
    ASSERT_EQ(limits.sent, "02 B3 00 B5");
    EXPECT_EQ(limits.plan.sends[0].answerId, 26);
    EXPECT_EQ(limits.plan.sends[0].address, 1);
    EXPECT_EQ(
        limits.replyWith({core::Bytes{26, 4, 0x01, 0, 0, 1, 7}}),
        R"({"data":{"slideMaxLimit":20.0,"slideMinLimit":0.0,"slideStep":2.22e-05},"result":"ok"})");
    EXPECT_EQ(limits.replyWith({core::Bytes{26, 12, 0x01, 0, 0, 0}}),
              R"({"data":null,"result":"ok"})");
    EXPECT_EQ(limits.replyWith({std::nullopt}), kNoResponse);
    EXPECT_EQ(limits.replyWith({core::Bytes{26, 6, 0x01, 0, 0, 3, 1}}), kNoResponse);
}

}  // namespace
}  // namespace kinetra::bundle
