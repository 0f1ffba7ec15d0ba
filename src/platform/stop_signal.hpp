// A latched wake-up for threads that block in poll: once set, its descriptor stays readable, so
// every later wait returns at once. Lets service threads sleep without a timeout and still stop
// promptly.
#pragma once

#include <chrono>

namespace kinetra::platform {

class StopSignal {
public:
    StopSignal();
    ~StopSignal();
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;

    /// Sets the signal. Thread-safe and async-signal-safe; setting twice is harmless.
    void set() noexcept;
    bool isSet() const noexcept;
    /// Sleeps for `duration` unless the signal is set first (or already). Returns true when the
    /// whole duration passed, false when the signal ended the wait.
    bool waitFor(std::chrono::milliseconds duration) const noexcept;
    /// A descriptor that becomes readable (and stays so) once the signal is set.
    int fd() const noexcept { return fd_; }

private:
    int fd_;
};

}  // namespace kinetra::platform
