// Builders of the motion commands: real-time moves, the joystick, key-pose moves and loops, and
// the head's dynamic moves. Pure functions; called on each bundle's command thread.
#pragma once

#include "bundle/device_messages.hpp"

namespace kinetra::bundle {

/// Real-time move: one block per given axis in slot order; focus counts in lens encoder steps.
/// A duration outside 0..65.535 s or a position beyond 32 bits is refused, naming its member.
BuiltMessage realTimeMoveMessage(float duration, const AxisValues& values);

/// Joystick: checks the given axes against `supportedAxes`, clamps each to -1..1 and builds the
/// family's messages (a head may need none, one or several).
BuiltMessages joystickMessages(DeviceModel primary, std::uint8_t supportedAxes,
                               const AxisValues& values);

/// A move to a pose (first index 0xFF, no loop) or a loop between two poses, by speed or by
/// duration; the unused one of speed and duration is -1. Values that do not fit their fields
/// (a negative duration among them) are refused, naming "speed", "duration" or "acceleration".
struct KeyposeMove {
    std::uint8_t first = 0xFF;
    std::uint8_t second = 0;
    float speed = -1.0f;
    float duration = -1.0f;
    float acceleration = 0.0f;
    bool loop = false;
    bool byDuration = false;  // the client gave the duration; else the speed
};
BuiltMessage keyposeMoveMessage(DeviceModel primary, KeyposeMove move);

/// A head move by speed (or duration) with acceleration; only for a single-device head bundle.
/// Values beyond their 32-bit fields (or a negative duration) are refused, naming the member.
struct DynamicMove {
    float headPan = 0.0f;
    float headTilt = 0.0f;
    float acceleration = 0.0f;
    float speedOrDuration = 0.0f;
    bool byDuration = false;
};
BuiltMessage dynamicMoveMessage(DeviceModel primary, std::size_t deviceCount, DynamicMove move);

}  // namespace kinetra::bundle
