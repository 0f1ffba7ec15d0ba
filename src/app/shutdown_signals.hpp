// SIGINT and SIGTERM as an event: a thread of this object waits for them (blocked in every
// thread, read through a signalfd) and calls the handler, so the main thread can run the tray.
#pragma once

#include <csignal>
#include <functional>

#include "platform/service_thread.hpp"

namespace kinetra::app {

class ShutdownSignals {
public:
    /// `signals` must already be blocked in every thread. `onSignal` runs on this object's
    /// thread for each signal that arrives.
    ShutdownSignals(const sigset_t& signals, std::function<void()> onSignal);
    /// Stops and joins the thread.
    ~ShutdownSignals();
    ShutdownSignals(const ShutdownSignals&) = delete;
    ShutdownSignals& operator=(const ShutdownSignals&) = delete;

private:
    void watch();

    int signalFd_;
    std::function<void()> onSignal_;
    platform::ServiceThread thread_;  // declared last: joined before the descriptors close
};

}  // namespace kinetra::app
