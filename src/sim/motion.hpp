// How the emulated axes move over time: planned moves, loops between two key poses and stick
// moves, each evaluated at any instant from its start, so nothing has to be stepped. Pure; used
// on the emulator's thread and, under the emulator's lock, by readers of its state.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>

#include "model/axis_slot.hpp"
#include "model/status_enums.hpp"
#include "sim/link_config.hpp"

namespace kinetra::sim {

/// Positions per axis slot in device units: thousandths (degrees, slide units), focus in encoder
/// steps. Zoom never moves.
using AxisPositions = std::array<double, model::kAxisSlotCount>;
using Seconds = std::chrono::duration<double>;

/// The end stops of each axis, in device units (symmetric around 0).
inline constexpr AxisPositions kAxisRange = {36'000'000.0, 89'100.0,     5'000'000.0, 5'000'000.0,
                                             0.0,          36'000'000.0, 43'800.0};
/// Each axis's top speed in device units a second.
inline constexpr AxisPositions kTopSpeed = {90'000.0, 90'000.0, 1'000.0, 20'000.0,
                                            0.0,      45'000.0, 30'000.0};
/// No planned move is shorter than this.
inline constexpr Seconds kShortestMove{0.1};

double clampToRange(std::size_t slot, double value);

/// How long the axes take from `from` to `to` at `speed` (a fraction of each axis's top speed,
/// at most 1): the slowest axis decides. Nothing when the speed is not above 0.
std::optional<Seconds> durationAtSpeed(const AxisPositions& from, const AxisPositions& to,
                                       double speed);

/// The state of the axes at one instant.
struct MotionSample {
    AxisPositions positions{};
    model::BundleActivity activity = model::BundleActivity::idle;
    double plannedSeconds = 0.0;
    double progress = 0.0;  // 0 to 1
    std::int8_t aimIndex = -1;
    std::int8_t startIndex = -1;
    bool loopActive = false;
    bool finished = true;  // nothing moves any more
};

class Motion {
public:
    /// Axes at rest at `positions`, still reporting the last planned move.
    static Motion rest(const AxisPositions& positions, const MotionSample& last = {});
    /// From `from` to `to` in `duration`; `smooth` eases in and out, otherwise a straight line
    /// in time (real-time moves). `calibrates` are the axes calibrated when it ends.
    static Motion planned(Clock::time_point start, const AxisPositions& from,
                          const AxisPositions& to, Seconds duration, model::BundleActivity activity,
                          bool smooth, std::int8_t startIndex, std::int8_t aimIndex,
                          std::uint8_t calibrates = 0);
    /// From `from` to pose A (`firstLeg`), then between A and B (`leg` each way) until stopped.
    static Motion loop(Clock::time_point start, const AxisPositions& from,
                       const AxisPositions& poseA, const AxisPositions& poseB, Seconds firstLeg,
                       Seconds leg, std::int8_t indexA, std::int8_t indexB);
    /// Every axis at its velocity (device units a second) from `from` until `until`.
    static Motion stick(Clock::time_point start, const AxisPositions& from,
                        const AxisPositions& velocity, Clock::time_point until);

    MotionSample at(Clock::time_point t) const;
    /// When it stops by itself; nothing for a rest or a loop.
    std::optional<Clock::time_point> end() const;
    bool isStick() const { return kind_ == Kind::stick; }
    const AxisPositions& velocity() const { return velocity_; }
    /// The axes it calibrates when it ends.
    std::uint8_t calibrates() const { return calibrates_; }
    /// Moves one axis by `delta` wherever it is along the motion (a focus nudge).
    void shift(std::size_t slot, double delta);

private:
    enum class Kind { rest, planned, loop, stick };

    Kind kind_ = Kind::rest;
    model::BundleActivity activity_ = model::BundleActivity::idle;
    Clock::time_point start_{};
    AxisPositions from_{};
    AxisPositions to_{};     // planned: the target; loop: pose A
    AxisPositions other_{};  // loop: pose B
    AxisPositions velocity_{};
    Seconds first_{0.0};  // planned: its duration; loop: the first leg
    Seconds leg_{0.0};
    Clock::time_point until_{};
    bool smooth_ = true;
    std::int8_t startIndex_ = -1;
    std::int8_t aimIndex_ = -1;
    std::uint8_t calibrates_ = 0;
    MotionSample last_{};  // rest: what the previous move reported
};

}  // namespace kinetra::sim
