// Decoders for the devices' answer to a key-pose read: the stored pose's index and values.
// Pure; called on each bundle's command thread.
#pragma once

#include <cstdint>
#include <optional>

#include "core/bytes.hpp"
#include "core/json.hpp"
#include "model/device_model.hpp"

namespace kinetra::bundle {

/// The "data" of a key-pose read, from the answer starting at its message identifier: "index"
/// and the values of the family's axes (the head reports only the axes `supportedAxes` sets).
/// Nothing when the family has no key poses or the answer is too short for its layout.
std::optional<json> decodeKeyposeReadAnswer(model::DeviceModel primary, std::uint8_t supportedAxes,
                                            core::ByteView answer);

}  // namespace kinetra::bundle
