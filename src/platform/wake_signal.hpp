// A resettable wake-up for a thread that blocks in poll: other threads raise it after handing
// the thread work, the thread clears it before taking that work. Used by the gateway's bus
// reactor, whose poll also watches bus sockets.
#pragma once

namespace kinetra::platform {

class WakeSignal {
public:
    WakeSignal();
    ~WakeSignal();
    WakeSignal(const WakeSignal&) = delete;
    WakeSignal& operator=(const WakeSignal&) = delete;

    /// Makes fd() readable until the next clear(). Thread-safe; raising twice is harmless.
    void raise() noexcept;
    /// Makes fd() unreadable again. Call on the waiting thread, before looking for work.
    void clear() noexcept;
    /// A descriptor that is readable while the signal is raised.
    int fd() const noexcept { return fd_; }

private:
    int fd_;
};

}  // namespace kinetra::platform
