// Shared helpers of the bundle tests: snapshots of typical bundles and built messages in hex.
#pragma once

#include <initializer_list>
#include <string>
#include <variant>

#include "bundle/device_messages.hpp"
#include "bundle/motion_messages.hpp"
#include "bundle/status_snapshot.hpp"
#include "support/hex.hpp"

namespace kinetra::bundle::test {

using model::DeviceModel;

/// A snapshot listing `models` (firmware new enough for everything) with the given axis sets.
inline DeviceStatusSnapshot bundleOf(std::initializer_list<DeviceModel> models,
                                     std::uint8_t supported, std::uint8_t realTime = 0) {
    DeviceStatusSnapshot s;
    for (const DeviceModel model : models) {
        s.devices[s.deviceCount].model = model;
        s.devices[s.deviceCount].firmwareVersion = 200;
        ++s.deviceCount;
    }
    s.supportedAxes = supported;
    s.realTimeSupportedAxes = realTime;
    return s;
}

/// "07 05 01": how messages are written in the protocol notes; a refusal by its reason.
inline std::string hex(const core::Bytes& bytes) {
    return kinetra::testing::hex(bytes);
}
inline std::string hex(const BuiltMessage& built) {
    if (const auto* bytes = std::get_if<core::Bytes>(&built)) {
        return hex(*bytes);
    }
    if (const auto* range = std::get_if<OutOfRange>(&built)) {
        return "out of range: " + std::string(range->member);
    }
    return std::get<BuildError>(built) == BuildError::invalidSetup ? "invalid setup" : "too long";
}

}  // namespace kinetra::bundle::test
