// The status JSON that /status serves, built from a snapshot. Pure; runs on the link's reader
// thread as each status message arrives.
#pragma once

#include <cstdint>

#include "bundle/status_snapshot.hpp"
#include "core/json.hpp"

namespace kinetra::bundle {

/// The status of `snapshot`; `timestampEpoch` is the wall-clock time in milliseconds since 1970
/// at which it is built (passed in, so that the function reads no clock).
json statusToJson(const DeviceStatusSnapshot& snapshot, std::int64_t timestampEpoch);

/// The answer of the status endpoint to any request: {"data": latest, "result": "ok"}, where
/// `latest` is null until the first status message arrived.
json statusEndpointReply(const json& latestStatus);

}  // namespace kinetra::bundle
