// Decoding one OSC datagram with liblo into the address and numeric arguments the mapping
// reads. Pure; called by the OSC thread.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <variant>

#include "studio/osc_mapping.hpp"

namespace kinetra::studio {

/// The message in `datagram`, or the reason it is not one. Bundles are not taken (every client
/// we serve sends plain messages). `datagram` may be changed in place.
std::variant<OscMessage, std::string> decodeOsc(std::span<std::uint8_t> datagram);

}  // namespace kinetra::studio
