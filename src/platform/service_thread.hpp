// One way to run a long-lived thread: named, stopped and joined by its owner, and never taking
// the process down with what it throws. The owner chooses what a failure does: the loop runs
// again after a pause, or that one service ends (logged, the user told) while the rest of the
// server goes on serving.
//
// Usage, in an owner whose loop polls sockets:
//
//     class Service {
//         ...
//         platform::ServiceThread thread_;  // last: stopped and joined before the rest goes
//     };
//     Service::Service() { ...; thread_.start({.name = "service"}, [this](std::stop_token) {
//         serve(); }); }
//     Service::~Service() { thread_.stop(); }
//     void Service::serve() {
//         while (!thread_.stopRequested()) { platform::faultPoint(); poll(..., stop fd ...); }
//     }
//
// Threads: start, stop and join are called by the owner (not by the thread itself);
// requestStop, stopSignal and the observers by any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>

#include "platform/stop_signal.hpp"

namespace kinetra::platform {

/// What a thread does when its body throws (and no stop was requested).
enum class OnFailure : std::uint8_t {
    /// Logs, waits a pause (woken by a stop), runs the body again. The pause starts at
    /// firstPause and doubles up to longestPause; a body that ran longer than longestPause
    /// before it failed starts again from firstPause.
    restart,
    /// Logs, tells the user (setServiceEndNotice) and ends this thread only.
    end,
};

struct ThreadOptions {
    /// The thread's name, as top -H and /proc show it: cut to kMaxThreadName characters. Also
    /// the name faults are injected by.
    std::string name{};
    /// What the log line and the notice call the service ("FreeD output"); the name when empty.
    std::string service{};
    OnFailure onFailure = OnFailure::restart;
    std::chrono::milliseconds firstPause{1000};
    std::chrono::milliseconds longestPause{30000};
    /// OnFailure::end: run on the thread once the failure has been logged and told, e.g. to have
    /// the owner take that one service down. Running it sooner could stop the thread before its
    /// failure was reported.
    std::function<void()> afterEnd{};
};

class ServiceThread {
public:
    /// The thread's work: its whole loop. Returns when a stop is requested or its work is done;
    /// the thread then ends. `stop` is requested together with stopSignal().
    using Body = std::function<void(std::stop_token stop)>;

    /// Not running yet; the stop signal exists already, so members may refer to it.
    ServiceThread() = default;
    /// Requests the stop and joins.
    ~ServiceThread();
    ServiceThread(const ServiceThread&) = delete;
    ServiceThread& operator=(const ServiceThread&) = delete;

    /// Starts the thread running `body`. Call it last in the owner's constructor, once
    /// everything the body uses exists. A thread that ended on its own must be joined before
    /// it is started again; after a stop was requested nothing starts. Throws std::system_error
    /// when no thread can be made, and is then not running.
    void start(ThreadOptions options, Body body);
    /// Asks the body to return: sets the stop signal and the stop token.
    void requestStop() noexcept;
    /// requestStop, then waits for the thread to end.
    void stop();
    /// Waits for a thread that ends (or has ended) on its own, without asking it to stop.
    void join();

    /// Readable (for poll) once a stop was requested; also what the pause between restarts
    /// waits on.
    const StopSignal& stopSignal() const { return stop_; }
    bool stopRequested() const { return stop_.isSet(); }
    /// Started and its body not yet ended for good.
    bool running() const { return running_.load(); }
    /// How many times the body threw.
    std::size_t failures() const { return failures_.load(); }

private:
    void run(std::stop_token stop);
    /// One failure: logs it and says whether to run the body again (after the pause).
    bool recover(const std::string& what, std::chrono::milliseconds& pause,
                 std::chrono::steady_clock::duration ran);

    StopSignal stop_;
    ThreadOptions options_;  // written by start() before the thread exists, then read by it
    Body body_;
    std::atomic<bool> running_{false};
    std::atomic<std::size_t> failures_{0};
    std::jthread thread_;  // last: joined before the members it uses go
};

/// Installs what tells the user that a service ended after a failure (the server passes a
/// desktop notification); without one the log line is all. Any thread; the notice runs on the
/// failing thread.
void setServiceEndNotice(std::function<void(const std::string& text)> notice);

/// What faultPoint throws. Deliberately not a std::exception: the per-request catches of a loop
/// let it pass to its thread's own policy, as they would an unexpected failure.
struct InjectedFault {
    std::string thread;
};

/// Test hook: the next faultPoint() on the service thread named `threadName` throws
/// InjectedFault, once. Any thread.
void injectFault(std::string_view threadName);

/// Called by service loops once per turn: throws when a test injected a fault for the calling
/// thread, else costs one atomic load.
void faultPoint();

}  // namespace kinetra::platform
