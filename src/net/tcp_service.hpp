// The TCP service: N worker loops, each on its own thread, shared by every listener that hands
// connections to it. Started and stopped by its owner's thread (the gateway's run thread).
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

#include "net/event_loop.hpp"

namespace kinetra::net {

/// Owns the worker loops and, through them, every connection. Listeners hold it by shared_ptr;
/// each loop accepts their connections itself.
class TcpService {
public:
    TcpService() = default;
    /// Stops the service (closes connections, joins threads).
    ~TcpService();
    TcpService(const TcpService&) = delete;
    TcpService& operator=(const TcpService&) = delete;

    /// Starts `workers` loops (at least one). Throws std::logic_error when already running.
    void start(std::size_t workers);

    /// Closes every connection and joins every worker thread; idempotent. Must not be called
    /// from a worker thread (a handler), which would have to join itself.
    void stop();

    /// The running loops (none when the service is not running).
    std::vector<std::shared_ptr<EventLoop>> loops() const;

private:
    // Taken by start/stop and when a listener starts, never on a request or message path.
    mutable std::mutex mutex_;  // guards loops_
    std::vector<std::shared_ptr<EventLoop>> loops_;
};

}  // namespace kinetra::net
