// How a command in flight on a link is abandoned for a stop. The bundle gives each ordinary
// command its own Preemption and passes it to every send of that command; a stop that arrives
// sets it through LinkHandler::preempt, which also wakes the reply wait. A stop's own sends get
// none: a stop is never preempted. Set from the bundle's receiving thread, read by the sender.
#pragma once

#include <atomic>

namespace kinetra::link {

class Preemption {
public:
    /// Marks the command abandoned. Thread-safe; setting twice is harmless.
    void set() noexcept { set_.store(true, std::memory_order_release); }
    bool isSet() const noexcept { return set_.load(std::memory_order_acquire); }

private:
    std::atomic<bool> set_{false};
};

/// True when `preemption` is given and set.
inline bool preempted(const Preemption* preemption) {
    return preemption != nullptr && preemption->isSet();
}

}  // namespace kinetra::link
