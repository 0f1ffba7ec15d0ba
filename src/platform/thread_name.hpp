// Names the calling thread, so that top -H, /proc and a debugger show which object runs it.
// Called first thing by each long-lived thread.
#pragma once

#include <cstddef>
#include <string_view>

namespace kinetra::platform {

/// The longest name the kernel keeps; longer names are cut to this many characters.
inline constexpr std::size_t kMaxThreadName = 15;

/// Names the calling thread `name` (cut to kMaxThreadName characters). Best effort: a name the
/// system refuses leaves the thread as it was.
void nameThisThread(std::string_view name) noexcept;

}  // namespace kinetra::platform
