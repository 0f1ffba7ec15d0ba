// The OSC address space: turns one decoded OSC message into the bundle or device command it
// stands for, or into the reason it does nothing. Pure and table-driven; called by the OSC
// thread of the studio service.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/json.hpp"
#include "studio/link_table.hpp"

namespace kinetra::studio {

/// One OSC argument: its type tag and, for the numeric tags (i, h, f, d), its value.
struct OscArgument {
    char tag = 'f';
    double number = 0;
};

/// A decoded OSC message.
struct OscMessage {
    std::string address;
    std::vector<OscArgument> arguments;
};

/// Stop every paired bundle.
struct AbortAll {};

/// One command to one bundle's command endpoint.
struct BundleCommand {
    std::string linkId;
    json request;  // {"command": ..., arguments}
    /// A joystickMove: the dead-man watches these. `moving` is false for an all-zero stick.
    bool joystick = false;
    bool moving = false;
};

/// What a message does: a command, or the reason it does nothing (for the log).
using OscAction = std::variant<AbortAll, BundleCommand, std::string>;

/// The axis sets of a bundle by link id, or nothing when the link is not paired or has no
/// fresh status.
using AxesLookup = std::function<std::optional<BundleAxes>(std::string_view linkId)>;

/// The acceleration of /keypose/go when the message gives none.
inline constexpr double kDefaultKeyposeAcceleration = 0.3;
/// The longest real-time move: its duration travels in milliseconds in 16 bits.
inline constexpr double kLongestRealTimeMove = 65.535;
/// The longest key-pose move accepted, in seconds.
inline constexpr double kLongestKeyposeMove = 3600.0;
/// Key-pose slots are 0..5 (a stop-motion module uses 0..2).
inline constexpr int kHighestKeyposeSlot = 5;

/// Maps `message`. Integer and float arguments stand for one another; a string, blob or other
/// argument, a wrong count, or a value out of range gives a reason. `/kinetra/abort` and
/// `/kinetra/<linkID>/abort` also take one number (a button's press or release).
OscAction mapOscMessage(const OscMessage& message, const AxesLookup& axesOf);

/// The joystickMove that lets go of the stick `moving` held: the same axes at 0.
BundleCommand zeroJoystick(const BundleCommand& moving);

}  // namespace kinetra::studio
