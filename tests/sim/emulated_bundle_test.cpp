// The emulated devices move, keep key poses and calibrate plausibly over time. The clock is
// passed in, so every instant is exact.
#include "sim/emulated_bundle.hpp"

#include <gtest/gtest.h>

#include "bundle/motion_messages.hpp"
#include "model/numeric_limits.hpp"
#include "test_host.hpp"

namespace kinetra::sim {
namespace {

using namespace std::chrono_literals;
using namespace bundle;
using model::AxisSlot;
using model::BundleActivity;
using testing::axes;
using testing::bytesOf;
using M = model::DeviceModel;

DeviceConfig device(M model, std::uint16_t firmware, std::optional<std::uint8_t> axes = {}) {
    return {.model = model, .firmwareVersion = firmware, .axes = axes};
}

// A head on a slider unless a test says otherwise; calibrations take 2 s, a stick lets go after
// 0.5 s.
class Bundle : public ::testing::Test {
protected:
    void start(std::vector<DeviceConfig> devices) {
        config_.devices = std::move(devices);
        bundle_.emplace(config_, t0_);
    }
    bool take(const BuiltMessage& message, Clock::duration at) {
        last_ = bundle_->handle(bytesOf(message), t0_ + at);
        return last_.accepted;
    }
    BundleState at(Clock::duration when) const { return bundle_->state(t0_ + when); }
    double pan(Clock::duration when) const { return at(when).position(AxisSlot::headPan); }
    bool storePose(std::uint8_t index, float pan, float slide = 0.0f) {
        return take(keyposeStoreWithNumericDataMessage(primary(), index, 100 + index,
                                                       axes({{AxisSlot::headPan, pan},
                                                             {AxisSlot::headTilt, 0},
                                                             {AxisSlot::slide, slide}})),
                    0s);
    }
    bool move(std::uint8_t index, float speed, float duration, Clock::duration when = 0s) {
        return take(keyposeMoveMessage(primary(), {0xFF, index, speed, duration, 0.5f, false}),
                    when);
    }
    model::NumericLimits limits(Clock::duration when) {
        EXPECT_TRUE(take(numericLimitsRequestMessage(), when));
        return model::deriveNumericLimits(last_.answer.value()).value();
    }
    M primary() const { return bundle_->primary(); }

    LinkConfig config_;
    Clock::time_point t0_ = Clock::time_point{} + 1h;
    std::optional<EmulatedBundle> bundle_{std::in_place, config_, t0_};
    EmulatedBundle::Outcome last_;
};

TEST_F(Bundle, KeyPoseMoveEasesToThePoseAndReportsItsProgress) {
    ASSERT_TRUE(storePose(2, 90.0f, 0.5f));
    ASSERT_TRUE(move(2, -1.0f, 2.0f));
    const auto half = at(1s);
    EXPECT_EQ(half.activity, BundleActivity::keyposeMove);
    EXPECT_DOUBLE_EQ(half.progress, 0.5);
    EXPECT_DOUBLE_EQ(half.plannedSeconds, 2.0);
    EXPECT_NEAR(half.position(AxisSlot::headPan), 45.0, 1e-9);  // eased, symmetric at half way
    EXPECT_EQ(std::tuple(half.startIndex, half.aimIndex), std::tuple(-1, 2));
    EXPECT_LT(pan(500ms), 45.0 / 2);  // it starts slowly
    const auto done = at(2s);
    EXPECT_EQ(done.activity, BundleActivity::idle);
    EXPECT_DOUBLE_EQ(done.position(AxisSlot::headPan), 90.0);
    EXPECT_DOUBLE_EQ(done.position(AxisSlot::slide), 0.5);

    // By speed the slowest axis decides: half the pan's 90 degrees a second, 2 s from 0 to 90.
    ASSERT_TRUE(storePose(1, 0.0f));
    ASSERT_TRUE(move(1, 0.5f, -1.0f, 2s));
    EXPECT_NEAR(at(2s).plannedSeconds, 2.0, 1e-3);
    // A pose never stored, or a move with neither speed nor duration, goes nowhere.
    EXPECT_FALSE(move(4, 0.5f, -1.0f, 2s));
    EXPECT_FALSE(move(1, -1.0f, -1.0f, 2s));
}

TEST_F(Bundle, LoopsBetweenTwoPosesUntilAborted) {
    ASSERT_TRUE(storePose(1, 10.0f));
    ASSERT_TRUE(storePose(2, 20.0f));
    ASSERT_TRUE(take(keyposeMoveMessage(primary(), {1, 2, -1.0f, 1.0f, 0.5f, true}), 0s));
    EXPECT_TRUE(at(500ms).loopActive);
    EXPECT_EQ(at(500ms).aimIndex, 1);  // first from where it stood to pose 1
    EXPECT_EQ(std::tuple(at(1500ms).startIndex, at(1500ms).aimIndex), std::tuple(1, 2));
    EXPECT_NEAR(pan(1500ms), 15.0, 1e-9);
    EXPECT_EQ(std::tuple(at(2500ms).startIndex, at(2500ms).aimIndex), std::tuple(2, 1));
    EXPECT_EQ(at(100s).activity, BundleActivity::keyposeMove);

    ASSERT_TRUE(take(motionAbortMessage(primary()), 2500ms));
    EXPECT_EQ(at(10s).activity, BundleActivity::idle);
    EXPECT_FALSE(at(10s).loopActive);
    EXPECT_NEAR(pan(10s), 15.0, 1e-9);
}

TEST_F(Bundle, StickMovesAtItsDeflectionAndLetsGoWhenNotRefreshed) {
    const auto stick = [&](float pan) {
        return std::get<std::vector<core::Bytes>>(
                   joystickMessages(primary(), 0x03,
                                    axes({{AxisSlot::headPan, pan}, {AxisSlot::headTilt, 0}})))
            .at(0);
    };
    ASSERT_TRUE(take(stick(0.5f), 0s));
    EXPECT_EQ(at(100ms).activity, BundleActivity::joystickMove);
    EXPECT_NEAR(pan(200ms), 9.0, 1e-6);  // 45 degrees a second
    // Nobody refreshes it: after half a second the head stops where it got to.
    EXPECT_EQ(at(600ms).activity, BundleActivity::idle);
    EXPECT_NEAR(pan(5s), 22.5, 1e-6);

    // Refreshed in time, it keeps going; a centred stick stops it at once.
    ASSERT_TRUE(take(stick(0.5f), 6s));
    ASSERT_TRUE(take(stick(0.5f), 6400ms));
    EXPECT_EQ(at(6800ms).activity, BundleActivity::joystickMove);
    ASSERT_TRUE(take(stick(0.0f), 7s));
    EXPECT_EQ(at(7s).activity, BundleActivity::idle);
    // It ran from 6 s to 6.9 s: the refresh at 6.4 s gave it another half second.
    EXPECT_NEAR(pan(9s), 22.5 + 0.9 * 45.0, 1e-6);
}

// What no device of the bundle can do is refused, and so is a slot past the sixth. The slider
// has no firmware minimum for real-time moves and the head's 102 passes it; at 101 it takes none.
TEST_F(Bundle, RefusesWhatNoDeviceOfTheBundleCanDoAndRealTimeMovesItsFirmwareCannotTake) {
    EXPECT_FALSE(take(keyposeReadRequestMessage(primary(), 6), 0s));       // six slots: 0 to 5
    for (const auto& message : {focusManualMoveMessage(primary(), 10.0f),  // no lens
                                calibrateLensMessage(primary()),
                                inclineWarningConfirmMessage(primary())}) {  // no rail unit
        EXPECT_FALSE(take(message, 0s)) << int(last_.read.opcode);
    }
    EXPECT_EQ(at(0s).realTimeAxes, 0x07);
    start({device(M::turretAlpha2, 101), device(M::glideTrack, 65)});
    EXPECT_EQ(at(0s).realTimeAxes, 0x04);
    EXPECT_FALSE(take(realTimeMoveMessage(0.2f, axes({{AxisSlot::headPan, 10}})), 0s));
}

// A focus nudge moves the lens at once, by the steps it names and back.
TEST_F(Bundle, AFocusNudgeShiftsTheLensAtOnce) {
    start({device(M::lensDriveMax, 10)});
    const double before = at(0s).position(AxisSlot::focus);
    ASSERT_TRUE(take(focusManualMoveMessage(primary(), 40.0f), 0s));
    const double nudged = at(0s).position(AxisSlot::focus);
    EXPECT_GT(nudged, before);
    ASSERT_TRUE(take(focusManualMoveMessage(primary(), -40.0f), 0s));
    EXPECT_NEAR(at(0s).position(AxisSlot::focus), before, 1e-6);
}

TEST_F(Bundle, RailUnitWaitsForItsCalibrationAndReportsItsIncline) {
    start({device(M::railUnitGen3, 19)});
    EXPECT_EQ(at(0s).calibratedAxes, 0);
    EXPECT_EQ(at(0s).incline, model::InclineMode::flat);
    EXPECT_FALSE(limits(0s).dataReady);  // an uncalibrated rail reports no limits yet

    // Off the ground: a warning the user must confirm.
    ASSERT_TRUE(take(calibrateRailUnitMessage(primary(), false, true), 0s));
    EXPECT_EQ(at(1s).activity, BundleActivity::sliderCalibration);
    EXPECT_EQ(at(1s).incline, model::InclineMode::safe);
    EXPECT_TRUE(at(1s).inclineWarning);
    EXPECT_EQ(at(2s).calibratedAxes, 0x04);
    EXPECT_TRUE(limits(2s).dataReady);
    ASSERT_TRUE(take(inclineWarningConfirmMessage(primary()), 3s));
    EXPECT_FALSE(at(3s).inclineWarning);
    // On the ground it stands flat.
    ASSERT_TRUE(take(calibrateRailUnitMessage(primary(), true, false), 4s));
    EXPECT_EQ(at(5s).incline, model::InclineMode::flat);
}

TEST_F(Bundle, LimitsAnswerFollowsTheGroupAndTheCraneArmsCalibration) {
    EXPECT_EQ(limits(0s).setup, model::SetupKind::panTiltAndSlide);
    bundle_->form({1});  // the slider alone
    EXPECT_EQ(limits(0s).setup, model::SetupKind::slideOnly);
    EXPECT_EQ(at(0s).devices, std::vector<M>{M::glideTrack});

    // A crane arm that slides: its limits follow the jib length its calibration gave.
    start({device(M::craneArm, 1, model::bitOf(AxisSlot::slide))});
    ASSERT_TRUE(take(calibrateCraneArmMessage(primary(), 30, 2), 0s));
    EXPECT_EQ(limits(0s).setup, model::SetupKind::jibOnly);
    EXPECT_FLOAT_EQ(limits(0s)[AxisSlot::slide].max, model::craneArmSlideLimit(300));
}

}  // namespace
}  // namespace kinetra::sim
