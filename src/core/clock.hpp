// Wall-clock readings in the units the wire and JSON formats use.
#pragma once

#include <cstdint>

namespace kinetra::core {

/// Nanoseconds since 1970-01-01 UTC, rounded down to 100 ns (the resolution link records carry).
std::int64_t epochNanos();

/// Milliseconds since 1970-01-01 UTC.
std::int64_t epochMillis();

}  // namespace kinetra::core
