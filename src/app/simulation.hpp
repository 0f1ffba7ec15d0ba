// --simulate: an emulated link adapter with its devices on a pseudo-terminal, announced to the
// device service as its scanner would announce a link module that was plugged in. Started and
// stopped by the main thread; the emulator runs on its own thread.
#pragma once

#include <memory>
#include <string_view>

#include "sim/emulated_link.hpp"

namespace kinetra::app {

/// Starts the emulator with `devices` (as kinetra-sim's --device takes them, separated by ';';
/// empty: a pan/tilt head on a slider). Nothing, and a warning, when the list cannot be read or
/// no pseudo-terminal can be had.
std::unique_ptr<sim::EmulatedLink> startEmulator(std::string_view devices);

/// Sends device_found for `emulator` to the device service; false (and a warning) when the
/// service does not answer within a few seconds.
bool announceEmulator(const sim::EmulatedLink& emulator);

}  // namespace kinetra::app
