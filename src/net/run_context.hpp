// The one shape of a net thread: an io_context run a handler at a time under the server's thread
// helper, so a handler that throws costs its loop a short pause, never the process. Runs on the
// thread that owns the context (a worker loop's or a listener's).
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include <asio/io_context.hpp>

#include "platform/service_thread.hpp"

namespace kinetra::net {

/// Runs `context` until it is out of work or stopped. The fault hook is asked before each
/// handler; what a handler throws passes to the caller, and the context may be run again after.
inline void runContext(asio::io_context& context) {
    for (;;) {
        platform::faultPoint();
        if (context.run_one() == 0) {
            return;
        }
    }
}

/// Starts `thread` running `context` with the net threads' policy: a handler that throws is
/// logged and the loop runs again after a short pause (its sockets and timers are all still
/// there). Kept short because every connection on the loop waits through it. `beforeRun`, when
/// given, runs on the thread before each run, the first and every one after a failure: it puts
/// back the work a handler that threw had not yet re-armed.
inline void startContextThread(platform::ServiceThread& thread, std::string name,
                               asio::io_context& context, std::function<void()> beforeRun = {}) {
    thread.start({.name = std::move(name),
                  .onFailure = platform::OnFailure::restart,
                  .firstPause = std::chrono::milliseconds(10),
                  .longestPause = std::chrono::milliseconds(1000)},
                 [&context, beforeRun = std::move(beforeRun)](std::stop_token) {
                     if (beforeRun) {
                         beforeRun();
                     }
                     runContext(context);
                 });
}

}  // namespace kinetra::net
