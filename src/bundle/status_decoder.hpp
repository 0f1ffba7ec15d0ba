// Decodes a device status message into a snapshot. Pure; runs on the link's reader thread.
#pragma once

#include <optional>

#include "bundle/status_snapshot.hpp"
#include "core/bytes.hpp"

namespace kinetra::bundle {

/// The snapshot of one status message, or nothing when it is shorter than the 79-byte layout.
/// Bytes beyond the layout are ignored; a device count above five is clamped to five.
std::optional<DeviceStatusSnapshot> decodeStatus(core::ByteView message);

}  // namespace kinetra::bundle
