// The emulated devices move, keep key poses and calibrate plausibly over time. The clock is
// passed in, so every instant is exact.
#include "sim/emulated_bundle.hpp"

#include <gtest/gtest.h>

#include "bundle/device_messages.hpp"
#include "bundle/motion_messages.hpp"
#include "bundle/status_decoder.hpp"
#include "model/numeric_limits.hpp"

namespace kinetra::sim {
namespace {

using namespace std::chrono_literals;
using model::AxisSlot;
using model::BundleActivity;
using M = model::DeviceModel;

model::AxisValues axes(std::initializer_list<std::pair<AxisSlot, float>> given) {
    model::AxisValues values;
    for (const auto& [slot, value] : given) {
        values.values[static_cast<std::size_t>(slot)] = value;
    }
    return values;
}

core::Bytes bytesOf(const bundle::BuiltMessage& built) {
    return std::get<core::Bytes>(built);
}

DeviceConfig device(M model, std::uint16_t firmware = 102) {
    DeviceConfig config;
    config.model = model;
    config.firmwareVersion = firmware;
    return config;
}

class Bundle : public ::testing::Test {
protected:
    explicit Bundle(std::vector<DeviceConfig> devices = defaultDevices()) {
        config_.devices = std::move(devices);
        config_.timings.calibrationTime = 2s;
        config_.timings.joystickTimeout = 500ms;
        bundle_.emplace(config_, t0_);
    }

    bool take(const core::Bytes& message, Clock::duration at) {
        last_ = bundle_->handle(message, t0_ + at);
        return last_.accepted;
    }
    BundleState at(Clock::duration when) const { return bundle_->state(t0_ + when); }
    bool storePose(std::uint8_t index, float pan, float tilt, float slide,
                   Clock::duration when = 0s) {
        return take(
            bytesOf(bundle::keyposeStoreWithNumericDataMessage(primary(), index, 100 + index,
                                                               axes({{AxisSlot::headPan, pan},
                                                                     {AxisSlot::headTilt, tilt},
                                                                     {AxisSlot::slide, slide}}))),
            when);
    }
    M primary() const { return bundle_->primary(); }

    LinkConfig config_;
    Clock::time_point t0_ = Clock::time_point{} + 1h;
    std::optional<EmulatedBundle> bundle_;
    EmulatedBundle::Outcome last_;
};

TEST_F(Bundle, KeyPoseMoveTravelsToThePoseAndReportsItsProgress) {
    ASSERT_TRUE(storePose(2, 90.0f, 10.0f, 0.5f));
    ASSERT_TRUE(take(
        bytesOf(bundle::keyposeMoveMessage(primary(), {0xFF, 2, -1.0f, 2.0f, 0.5f, false})), 0s));

    const auto half = at(1s);
    EXPECT_EQ(half.activity, BundleActivity::keyposeMove);
    EXPECT_DOUBLE_EQ(half.progress, 0.5);
    EXPECT_DOUBLE_EQ(half.plannedSeconds, 2.0);
    EXPECT_NEAR(half.position(AxisSlot::headPan), 45.0, 1e-9);  // eased, symmetric at half way
    EXPECT_EQ(half.aimIndex, 2);
    EXPECT_EQ(half.startIndex, -1);
    EXPECT_LT(at(500ms).position(AxisSlot::headPan), 45.0 / 2);  // it starts slowly

    const auto done = at(2s);
    EXPECT_EQ(done.activity, BundleActivity::idle);
    EXPECT_DOUBLE_EQ(done.progress, 1.0);
    EXPECT_DOUBLE_EQ(done.position(AxisSlot::headPan), 90.0);
    EXPECT_DOUBLE_EQ(done.position(AxisSlot::slide), 0.5);

    // The status message says the same, read by the server's decoder.
    const auto status = bundle::decodeStatus(bundle_->statusMessage(t0_ + 1s, 7));
    ASSERT_TRUE(status.has_value());
    EXPECT_FLOAT_EQ(status->headPan, 45.0f);
    EXPECT_FLOAT_EQ(status->plannedMotionProgress, 0.5f);
    EXPECT_EQ(status->activity, 1);
    EXPECT_EQ(status->linkState, 7);
    EXPECT_EQ(status->keyposeSlotsFilled[2], true);
}

TEST_F(Bundle, MovesBySpeedTakeAsLongAsTheSlowestAxisNeeds) {
    ASSERT_TRUE(storePose(1, 90.0f, 0.0f, 0.0f));
    // Half of the pan's top speed of 90 degrees a second: two seconds for 90 degrees.
    ASSERT_TRUE(take(
        bytesOf(bundle::keyposeMoveMessage(primary(), {0xFF, 1, 0.5f, -1.0f, 1.0f, false})), 0s));
    EXPECT_NEAR(at(0s).plannedSeconds, 2.0, 1e-3);
    // A pose never stored, or a move with neither speed nor duration, goes nowhere.
    EXPECT_FALSE(take(
        bytesOf(bundle::keyposeMoveMessage(primary(), {0xFF, 4, 0.5f, -1.0f, 1.0f, false})), 0s));
    EXPECT_FALSE(take(
        bytesOf(bundle::keyposeMoveMessage(primary(), {0xFF, 1, -1.0f, -1.0f, 1.0f, false})), 0s));
}

TEST_F(Bundle, LoopsBetweenTwoPosesUntilAborted) {
    ASSERT_TRUE(storePose(1, 10.0f, 0.0f, 0.0f));
    ASSERT_TRUE(storePose(2, 20.0f, 0.0f, 0.0f));
    ASSERT_TRUE(
        take(bytesOf(bundle::keyposeMoveMessage(primary(), {1, 2, -1.0f, 1.0f, 0.5f, true})), 0s));
    const auto first = at(500ms);  // from where it stood to pose 1
    EXPECT_TRUE(first.loopActive);
    EXPECT_EQ(first.aimIndex, 1);
    const auto out = at(1500ms);
    EXPECT_EQ(out.startIndex, 1);
    EXPECT_EQ(out.aimIndex, 2);
    EXPECT_NEAR(out.position(AxisSlot::headPan), 15.0, 1e-9);
    const auto back = at(2500ms);
    EXPECT_EQ(back.startIndex, 2);
    EXPECT_EQ(back.aimIndex, 1);
    EXPECT_EQ(at(100s).activity, BundleActivity::keyposeMove);

    ASSERT_TRUE(take(bytesOf(bundle::motionAbortMessage(primary())), 2500ms));
    const auto stopped = at(10s);
    EXPECT_EQ(stopped.activity, BundleActivity::idle);
    EXPECT_FALSE(stopped.loopActive);
    EXPECT_NEAR(stopped.position(AxisSlot::headPan), 15.0, 1e-9);
}

TEST_F(Bundle, StickMovesAtItsDeflectionAndLetsGoWhenNotRefreshed) {
    const auto stick = std::get<std::vector<core::Bytes>>(bundle::joystickMessages(
        primary(), 0x03, axes({{AxisSlot::headPan, 0.5f}, {AxisSlot::headTilt, 0.0f}})));
    ASSERT_TRUE(take(stick[0], 0s));
    EXPECT_EQ(at(100ms).activity, BundleActivity::joystickMove);
    EXPECT_NEAR(at(200ms).position(AxisSlot::headPan), 9.0, 1e-6);  // 45 degrees a second
    // Nobody refreshes it: after half a second the head stops where it got to.
    EXPECT_EQ(at(600ms).activity, BundleActivity::idle);
    EXPECT_NEAR(at(5s).position(AxisSlot::headPan), 22.5, 1e-6);

    // Refreshed in time, it keeps going; a centred stick stops it at once.
    ASSERT_TRUE(take(stick[0], 6s));
    ASSERT_TRUE(take(stick[0], 6400ms));
    EXPECT_EQ(at(6800ms).activity, BundleActivity::joystickMove);
    const auto centred = std::get<std::vector<core::Bytes>>(bundle::joystickMessages(
        primary(), 0x03, axes({{AxisSlot::headPan, 0.0f}, {AxisSlot::headTilt, 0.0f}})));
    ASSERT_TRUE(take(centred[0], 7s));
    EXPECT_EQ(at(7s).activity, BundleActivity::idle);
    // It ran from 6 s to 6.9 s: the refresh at 6.4 s gave it another half second.
    EXPECT_NEAR(at(9s).position(AxisSlot::headPan), 22.5 + 0.9 * 45.0, 1e-6);
}

TEST_F(Bundle, RealTimeMovesFollowAStraightLine) {
    ASSERT_TRUE(take(bytesOf(bundle::realTimeMoveMessage(
                         0.2f, axes({{AxisSlot::headPan, 10.0f}, {AxisSlot::headTilt, -4.0f}}))),
                     0s));
    const auto middle = at(100ms);
    EXPECT_EQ(middle.activity, BundleActivity::realTimeMove);
    EXPECT_NEAR(middle.position(AxisSlot::headPan), 5.0, 1e-9);
    EXPECT_NEAR(middle.position(AxisSlot::headTilt), -2.0, 1e-9);
    EXPECT_EQ(at(200ms).activity, BundleActivity::idle);
    // The slider has no firmware minimum, the head's 102 passes it: all three axes follow.
    EXPECT_EQ(at(0s).realTimeAxes, 0x07);
}

class OldHead : public Bundle {
protected:
    OldHead() : Bundle({device(M::turretAlpha2, 101), device(M::glideTrack, 65)}) {}
};

TEST_F(OldHead, FirmwareBelowTheMinimumTakesNoRealTimeMoves) {
    EXPECT_EQ(at(0s).realTimeAxes, 0x04);
    EXPECT_FALSE(
        take(bytesOf(bundle::realTimeMoveMessage(0.2f, axes({{AxisSlot::headPan, 10.0f}}))), 0s));
    EXPECT_EQ(at(100ms).activity, BundleActivity::idle);
}

TEST_F(Bundle, KeyPoseReadsAnswerWithTheStoredPose) {
    ASSERT_TRUE(storePose(3, 12.5f, -7.0f, 0.25f));
    ASSERT_TRUE(take(bytesOf(bundle::keyposeReadRequestMessage(primary(), 3)), 0s));
    ASSERT_TRUE(last_.answer.has_value());
    EXPECT_EQ((*last_.answer)[0], 18);
    EXPECT_EQ((*last_.answer)[1], 3);
    EXPECT_EQ(core::readI32BE(*last_.answer, 2), 12500);
    // An empty slot answers with index -1; a slot beyond the layout is refused.
    ASSERT_TRUE(take(bytesOf(bundle::keyposeReadRequestMessage(primary(), 4)), 0s));
    EXPECT_EQ((*last_.answer)[1], 0xFF);
    EXPECT_FALSE(take(bytesOf(bundle::keyposeReadRequestMessage(primary(), 6)), 0s));
    ASSERT_TRUE(take(bytesOf(bundle::keyposeDeletePoseMessage(primary(), 3)), 0s));
    EXPECT_EQ(at(0s).slotsFilled, 0);
    // The identifier of a pose stored from where the head stands is kept with it.
    ASSERT_TRUE(
        take(bytesOf(bundle::keyposeStoreCurrentPoseMessage(primary(), 0, 0xCAFEF00E)), 0s));
    EXPECT_EQ(at(0s).keyposeIdentifiers[0], std::optional<std::uint32_t>(0xCAFEF00E));
}

TEST_F(Bundle, HeadCalibrationHomesTheAxesAndRefusesMovesMeanwhile) {
    ASSERT_TRUE(storePose(1, 30.0f, 0.0f, 0.0f));
    ASSERT_TRUE(take(
        bytesOf(bundle::keyposeMoveMessage(primary(), {0xFF, 1, -1.0f, 0.5f, 1.0f, false})), 0s));
    ASSERT_TRUE(take(bytesOf(bundle::calibrateHeadMessage(primary())), 1s));
    const auto running = at(2s);
    EXPECT_EQ(running.activity, BundleActivity::unsupportedActivity);
    EXPECT_EQ(running.calibratedAxes & 0x03, 0);
    EXPECT_EQ(running.calibratedAxes & 0x04, 0x04);  // the slider keeps its calibration
    EXPECT_FALSE(take(
        bytesOf(bundle::keyposeMoveMessage(primary(), {0xFF, 1, -1.0f, 0.5f, 1.0f, false})), 2s));
    const auto done = at(3s);
    EXPECT_EQ(done.activity, BundleActivity::idle);
    EXPECT_EQ(done.calibratedAxes, 0x07);
    EXPECT_DOUBLE_EQ(done.position(AxisSlot::headPan), 0.0);
}

class RailBundle : public Bundle {
protected:
    RailBundle() : Bundle({device(M::railUnitGen3, 19)}) {}
};

TEST_F(RailBundle, RailUnitWaitsForItsCalibrationAndReportsItsIncline) {
    const auto limits = [&](Clock::duration when) {
        EXPECT_TRUE(take(bundle::numericLimitsRequestMessage(), when));
        return model::deriveNumericLimits(*last_.answer);
    };
    EXPECT_EQ(at(0s).calibratedAxes, 0);
    EXPECT_EQ(at(0s).incline, model::InclineMode::flat);
    EXPECT_FALSE(limits(0s)->dataReady);  // an uncalibrated rail reports no limits yet

    // Off the ground: a warning the user must confirm.
    ASSERT_TRUE(take(bytesOf(bundle::calibrateRailUnitMessage(primary(), false, true)), 0s));
    const auto running = at(1s);
    EXPECT_EQ(running.activity, BundleActivity::sliderCalibration);
    EXPECT_EQ(running.incline, model::InclineMode::safe);
    EXPECT_TRUE(running.inclineWarning);
    EXPECT_EQ(at(2s).calibratedAxes, 0x04);
    EXPECT_TRUE(limits(2s)->dataReady);
    ASSERT_TRUE(take(bytesOf(bundle::inclineWarningConfirmMessage(primary())), 3s));
    EXPECT_FALSE(at(3s).inclineWarning);

    const auto status = bundle::decodeStatus(bundle_->statusMessage(t0_ + 3s, 0));
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(status->inclineMode, 2);
    EXPECT_EQ(status->keyposeSlotLayout, 6);
}

TEST_F(Bundle, LimitsAnswerNamesTheSetupOfTheDevices) {
    ASSERT_TRUE(take(bundle::numericLimitsRequestMessage(), 0s));
    const auto limits = model::deriveNumericLimits(*last_.answer);
    ASSERT_TRUE(limits.has_value());
    EXPECT_EQ(limits->setup, model::SetupKind::panTiltAndSlide);
    EXPECT_FLOAT_EQ((*limits)[AxisSlot::slide].max, 20.0f);

    bundle_->form({1});  // the slider alone
    ASSERT_TRUE(take(bundle::numericLimitsRequestMessage(), 0s));
    EXPECT_EQ(model::deriveNumericLimits(*last_.answer)->setup, model::SetupKind::slideOnly);
    EXPECT_EQ(at(0s).devices, std::vector<M>{M::glideTrack});
}

TEST_F(Bundle, RefusesWhatItCannotDo) {
    EXPECT_FALSE(take(bytesOf(bundle::focusManualMoveMessage(primary(), 10.0f)), 0s));  // no lens
    EXPECT_FALSE(take(bytesOf(bundle::calibrateLensMessage(primary())), 0s));
    EXPECT_FALSE(take(bytesOf(bundle::inclineWarningConfirmMessage(primary())), 0s));  // no rail
    auto bad = bundle::statusRequestMessage();
    bad[3] ^= 1;
    EXPECT_FALSE(take(bad, 0s));
    EXPECT_EQ(last_.read.check, MessageCheck::badChecksum);
}

}  // namespace
}  // namespace kinetra::sim
