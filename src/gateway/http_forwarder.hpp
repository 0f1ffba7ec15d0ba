// Forwards one HTTP request to the bus endpoint of its path and waits, bounded, for the reply.
// Runs on the network service's worker threads, several requests at once.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <string_view>

#include <zmq.hpp>

#include "platform/stop_signal.hpp"

namespace kinetra::gateway {

/// Turns (path, body) into the body of the HTTP response. Safe to call from many threads at
/// once: each thread talks to a service over its own socket (see RequestSocket).
class HttpForwarder {
public:
    /// Receive time-out set on the request sockets (the wait itself is polled, see below).
    static constexpr std::chrono::milliseconds kReceiveTimeout{25};
    /// The reply is awaited for at most kReplyTries x kReplyInterval, waking on its arrival;
    /// between tries the endpoint must still be open.
    static constexpr int kReplyTries = 200;
    static constexpr std::chrono::milliseconds kReplyInterval{5};

    /// `context` is the bus context; `stop` (owned by the caller, outliving this object) ends
    /// every wait at once when set, so the service can stop without waiting out replies.
    HttpForwarder(std::shared_ptr<zmq::context_t> context, const platform::StopSignal& stop);

    /// The response body for a request with URL path `path` (no query) and body `body`:
    /// the service's reply unchanged; {"result":"offline"} when the endpoint is not open or
    /// closes while waiting; {"result":"request could not be processed"} when the request
    /// cannot be queued; {"result":"invalid path"} when the body is not JSON or the bus fails;
    /// empty when no reply came in time.
    std::string forward(std::string_view path, std::string_view body) const;

private:
    std::shared_ptr<zmq::context_t> context_;
    const platform::StopSignal& stop_;
};

}  // namespace kinetra::gateway
