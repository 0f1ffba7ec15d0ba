// The one bounded wait of the tests, for state that has no event to wait on (a registry's
// table of open endpoints, a file another process writes). Anything with an event waits on it.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace kinetra::testing {

inline constexpr std::chrono::milliseconds kWait{5000};

/// Asks `condition` every 2 ms, at most `timeout` long; true as soon as it holds.
inline bool waitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds timeout = kWait) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

}  // namespace kinetra::testing
