// The kinds of link module and the media over which a link adapter reaches its devices.
#pragma once

#include <cstdint>

#include "core/enum_table.hpp"

namespace kinetra::model {

/// What is plugged in: a stop-motion module is itself the device; a link adapter relays.
enum class LinkType : std::int32_t { stopMotionModule = 0, linkAdapter = 1 };

inline constexpr auto kLinkTypeTable = core::makeEnumTable<LinkType>({
    {LinkType::stopMotionModule, "stopMotionModule"},
    {LinkType::linkAdapter, "linkAdapter"},
});

/// How device messages travel from the adapter: `none` writes them to the serial line unframed.
enum class LinkConnectionType : std::int32_t { wireless = 0, canbus = 1, rj45 = 2, none = 3 };

inline constexpr auto kLinkConnectionTypeTable = core::makeEnumTable<LinkConnectionType>({
    {LinkConnectionType::wireless, "wireless"},
    {LinkConnectionType::canbus, "canbus"},
    {LinkConnectionType::rj45, "rj45"},
    {LinkConnectionType::none, "none"},
});

}  // namespace kinetra::model
