// The devices behind an emulated link acting as one bundle: they take device messages, move
// their axes, keep key poses, calibrate, and describe themselves in status messages. Pure (the
// time is passed in); runs on the emulator's thread and, for reading, under its lock.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/bytes.hpp"
#include "model/axis_slot.hpp"
#include "model/device_model.hpp"
#include "model/status_enums.hpp"
#include "sim/device_commands.hpp"
#include "sim/device_reports.hpp"
#include "sim/link_config.hpp"
#include "sim/motion.hpp"

namespace kinetra::sim {

/// What a reader of the emulator sees of its bundle at one instant.
struct BundleState {
    /// The devices of the bundle, the primary first (all configured devices until a radio
    /// group is formed from some of them).
    std::vector<model::DeviceModel> devices;
    /// Device units: thousandths (degrees, slide units), focus in encoder steps.
    AxisPositions positions{};
    model::BundleActivity activity = model::BundleActivity::idle;
    double plannedSeconds = 0.0;
    double progress = 0.0;
    std::int8_t aimIndex = -1;
    std::int8_t startIndex = -1;
    bool loopActive = false;
    std::uint8_t slotsFilled = 0;
    std::uint8_t supportedAxes = 0;
    std::uint8_t realTimeAxes = 0;
    std::uint8_t calibratedAxes = 0;
    model::InclineMode incline = model::InclineMode::invalid;
    bool inclineWarning = false;
    std::int16_t armLength = 0;
    /// The identifier each filled key-pose slot was stored with.
    std::array<std::optional<std::uint32_t>, 6> keyposeIdentifiers{};

    /// The position of `axis` in the units clients use: degrees and slide units, focus in
    /// encoder steps.
    double position(model::AxisSlot axis) const;
};

class EmulatedBundle {
public:
    EmulatedBundle(const LinkConfig& config, Clock::time_point powerOn);

    /// Makes these configured devices (indices into the configuration) the bundle, the primary
    /// first. An empty list means all of them, in their configured order.
    void form(const std::vector<std::size_t>& members);
    model::DeviceModel primary() const;

    struct Outcome {
        ReadMessage read;
        bool accepted = false;              ///< understood and acted on: acknowledged
        std::optional<core::Bytes> answer;  ///< a message sent back (limits, key-pose read)
    };
    /// Takes one device message.
    Outcome handle(core::ByteView message, Clock::time_point now);

    /// Settles a motion that has ended (its final positions, the axes it calibrated).
    void settle(Clock::time_point now);
    /// When something changes by itself next (a move, a calibration or a stick ends).
    std::optional<Clock::time_point> nextChange() const;
    /// Whether any axis moves at `now`.
    bool moving(Clock::time_point now) const;

    BundleState state(Clock::time_point now) const;
    /// The status message at `now`, carrying `acknowledge` as its acknowledge byte.
    core::Bytes statusMessage(Clock::time_point now, std::uint8_t acknowledge) const;

private:
    struct Keypose {
        AxisPositions values{};
        std::uint32_t identifier = 0;
    };

    bool apply(const DeviceCommand& command, Clock::time_point now,
               std::optional<core::Bytes>& answer);
    bool realTimeMove(const cmd::RealTimeMove& move, Clock::time_point now);
    bool joystick(const cmd::Joystick& stick, Clock::time_point now);
    bool store(const cmd::KeyposeStore& store, Clock::time_point now);
    bool keyposeMove(const cmd::KeyposeMove& move, Clock::time_point now);
    bool dynamicMove(const cmd::DynamicMove& move, Clock::time_point now);
    bool focusMove(const cmd::FocusMove& move, Clock::time_point now);
    bool calibrate(const cmd::Calibrate& calibration, Clock::time_point now);
    void abort(Clock::time_point now);

    bool hasModel(bool (*predicate)(model::DeviceModel)) const;
    bool validSlot(std::uint8_t index) const { return index < keyposes_.size(); }
    bool calibrating(Clock::time_point now) const;
    AxisPositions positionsAt(Clock::time_point now) const { return motion_.at(now).positions; }
    core::Bytes limits() const;

    const LinkConfig& config_;
    Clock::time_point powerOn_;
    std::vector<std::size_t> members_;
    std::uint8_t supported_ = 0;
    std::uint8_t realTime_ = 0;
    std::uint8_t calibrated_ = 0;
    Motion motion_;
    std::vector<std::optional<Keypose>> keyposes_;
    model::InclineMode incline_ = model::InclineMode::invalid;
    bool inclineWarning_ = false;
    std::int16_t armLength_ = 0;
};

}  // namespace kinetra::sim
