// Evaluation of the emulated motions at an instant. Runs on the emulator's thread and on
// readers of its state, under the emulator's lock.
#include "sim/motion.hpp"

#include <algorithm>
#include <cmath>

namespace kinetra::sim {
namespace {

double seconds(Clock::duration duration) {
    return std::chrono::duration_cast<Seconds>(duration).count();
}

// Smoothstep: the gear accelerates and brakes instead of jumping to speed.
double ease(double progress, bool smooth) {
    return smooth ? progress * progress * (3.0 - 2.0 * progress) : progress;
}

AxisPositions between(const AxisPositions& from, const AxisPositions& to, double fraction) {
    AxisPositions out{};
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = from[i] + (to[i] - from[i]) * fraction;
    }
    return out;
}

}  // namespace

double clampToRange(std::size_t slot, double value) {
    return std::clamp(value, -kAxisRange[slot], kAxisRange[slot]);
}

std::optional<Seconds> durationAtSpeed(const AxisPositions& from, const AxisPositions& to,
                                       double speed) {
    if (!(speed > 0.0)) {
        return std::nullopt;
    }
    const double fraction = std::min(speed, 1.0);
    double longest = kShortestMove.count();
    for (std::size_t i = 0; i < from.size(); ++i) {
        if (kTopSpeed[i] > 0.0) {
            longest = std::max(longest, std::abs(to[i] - from[i]) / (kTopSpeed[i] * fraction));
        }
    }
    return Seconds(longest);
}

Motion Motion::rest(const AxisPositions& positions, const MotionSample& last) {
    Motion motion;
    motion.from_ = positions;
    motion.last_ = last;
    return motion;
}

Motion Motion::planned(Clock::time_point start, const AxisPositions& from, const AxisPositions& to,
                       Seconds duration, model::BundleActivity activity, bool smooth,
                       std::int8_t startIndex, std::int8_t aimIndex, std::uint8_t calibrates) {
    Motion motion;
    motion.kind_ = Kind::planned;
    motion.activity_ = activity;
    motion.start_ = start;
    motion.from_ = from;
    motion.to_ = to;
    motion.first_ = duration;
    motion.smooth_ = smooth;
    motion.startIndex_ = startIndex;
    motion.aimIndex_ = aimIndex;
    motion.calibrates_ = calibrates;
    return motion;
}

Motion Motion::loop(Clock::time_point start, const AxisPositions& from, const AxisPositions& poseA,
                    const AxisPositions& poseB, Seconds firstLeg, Seconds leg, std::int8_t indexA,
                    std::int8_t indexB) {
    Motion motion;
    motion.kind_ = Kind::loop;
    motion.activity_ = model::BundleActivity::keyposeMove;
    motion.start_ = start;
    motion.from_ = from;
    motion.to_ = poseA;
    motion.other_ = poseB;
    motion.first_ = firstLeg;
    motion.leg_ = std::max(leg, kShortestMove);
    motion.startIndex_ = indexA;
    motion.aimIndex_ = indexB;
    return motion;
}

Motion Motion::stick(Clock::time_point start, const AxisPositions& from,
                     const AxisPositions& velocity, Clock::time_point until) {
    Motion motion;
    motion.kind_ = Kind::stick;
    motion.activity_ = model::BundleActivity::joystickMove;
    motion.start_ = start;
    motion.from_ = from;
    motion.velocity_ = velocity;
    motion.until_ = until;
    return motion;
}

MotionSample Motion::at(Clock::time_point t) const {
    MotionSample sample;
    const double elapsed = std::max(0.0, seconds(t - start_));
    switch (kind_) {
        case Kind::rest:
            sample = last_;
            sample.positions = from_;
            sample.activity = model::BundleActivity::idle;
            sample.loopActive = false;
            sample.finished = true;
            break;
        case Kind::planned: {
            const double duration = first_.count();
            const double progress = duration > 0.0 ? std::min(elapsed / duration, 1.0) : 1.0;
            sample.positions = between(from_, to_, ease(progress, smooth_));
            sample.finished = progress >= 1.0;
            sample.activity = sample.finished ? model::BundleActivity::idle : activity_;
            sample.plannedSeconds = duration;
            sample.progress = progress;
            sample.startIndex = startIndex_;
            sample.aimIndex = aimIndex_;
            break;
        }
        case Kind::loop: {
            sample.activity = activity_;
            sample.loopActive = true;
            sample.finished = false;
            if (elapsed < first_.count()) {
                const double progress = elapsed / first_.count();
                sample.positions = between(from_, to_, ease(progress, true));
                sample.plannedSeconds = first_.count();
                sample.progress = progress;
                sample.aimIndex = startIndex_;  // first it goes to pose A
                break;
            }
            const double inLoop = elapsed - first_.count();
            const auto legs = static_cast<long long>(inLoop / leg_.count());
            const double progress = (inLoop - legs * leg_.count()) / leg_.count();
            const bool towardsB = legs % 2 == 0;
            sample.positions = towardsB ? between(to_, other_, ease(progress, true))
                                        : between(other_, to_, ease(progress, true));
            sample.plannedSeconds = leg_.count();
            sample.progress = progress;
            sample.startIndex = towardsB ? startIndex_ : aimIndex_;
            sample.aimIndex = towardsB ? aimIndex_ : startIndex_;
            break;
        }
        case Kind::stick: {
            const double moving = std::min(elapsed, std::max(0.0, seconds(until_ - start_)));
            for (std::size_t i = 0; i < sample.positions.size(); ++i) {
                sample.positions[i] = clampToRange(i, from_[i] + velocity_[i] * moving);
            }
            sample.finished = t >= until_;
            sample.activity =
                sample.finished ? model::BundleActivity::idle : model::BundleActivity::joystickMove;
            break;
        }
    }
    return sample;
}

std::optional<Clock::time_point> Motion::end() const {
    switch (kind_) {
        case Kind::planned:
            return start_ + std::chrono::duration_cast<Clock::duration>(first_);
        case Kind::stick:
            return until_;
        case Kind::rest:
        case Kind::loop:
            break;
    }
    return std::nullopt;
}

void Motion::shift(std::size_t slot, double delta) {
    from_[slot] = clampToRange(slot, from_[slot] + delta);
    to_[slot] = clampToRange(slot, to_[slot] + delta);
    other_[slot] = clampToRange(slot, other_[slot] + delta);
}

}  // namespace kinetra::sim
